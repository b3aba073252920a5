// A second process reads SYNC and VERSION in a loop while this one writes
// 10,000 rows, renames folders under them and advances a cursor: every read
// must succeed and see whole operations only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "app/sync/Syncdb.h"
#include "app/sync/sync_test_util.h"

extern char** environ;

namespace {

TEST(SyncdbReader, ASecondProcessReadsWholeOperationsWhileTenThousandRowsAreWritten) {
  synctest::TempDir dir;
  const std::string file = dir.file("qvsyncdbex.db");
  Syncdb db(file);
  db.insert_total_version("/", 0, 0, 0);

  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::string prog = SYNCDB_READER;
  char* argv[] = {prog.data(), const_cast<char*>(file.c_str()), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  std::string output;
  char c;
  while (output.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) output += c;
  ASSERT_EQ(output, "ready\n");

  constexpr int kFolders = 100, kFiles = 99;  // 10,000 rows
  for (int f = 0; f < kFolders; ++f) {
    const std::string folder = "f" + std::to_string(f);
    SyncFileItem dirRow;
    dirRow.webpath = folder;
    dirRow.status = 4;
    ASSERT_TRUE(db.add_new_file(dirRow));
    for (int i = 0; i < kFiles; ++i) {
      SyncFileItem it;
      it.webpath = folder + "/n" + std::to_string(i);
      it.parent = folder;
      it.file = true;
      it.status = 5;
      ASSERT_TRUE(db.add_new_file(it));
    }
    // Whole trees move while the reader looks.
    if (f % 10 == 9) {
      ASSERT_TRUE(db.rename("F" + std::to_string(f - 5), "g" + std::to_string(f - 5)));
      ASSERT_TRUE(db.move("f" + std::to_string(f - 3), "g" + std::to_string(f - 5) + "/m"));
    }
    db.update_total_version("/", f, f);
  }
  db.insert_total_version("/done/", 0, 0, 0);

  while (::read(out[0], &c, 1) == 1) output += c;
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("rows 10000"), std::string::npos) << output;
  EXPECT_EQ(db.getAllNeedSyncCount(), kFolders * kFiles);
  RecordProperty("reader", output);
}

}  // namespace
