// The private copies of FileOps: one left behind by a writer that died
// before its rename is found and removed; anything else stays.
#include "platform/fs/file_ops.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/foundation/file_util.h"

extern char** environ;

namespace {

// The number of a process that has ended (and been reaped).
pid_t endedPid() {
  pid_t pid = -1;
  const char* argv[] = {"/bin/true", nullptr};
  if (::posix_spawn(&pid, "/bin/true", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(FileOpsLeftovers, OnlyACopyWhoseWriterIsGoneIsRemoved) {
  const std::string dir = plat::makeTemporaryDirectory("qvleftover");
  const pid_t gone = endedPid();
  ASSERT_GT(gone, 0);
  const std::string me = std::to_string(::getpid()), dead = std::to_string(gone);
  const std::string alive = std::to_string(::getppid());
  const struct {
    std::string name;
    bool removed;
  } cases[] = {
      {".report.pdf.qvtmp" + dead + "-0", true},
      {".名字 with blanks.txt.qvtmp" + dead + "-17", true},
      {".a.qvtmp" + me + "-3", true},  // this process is writing no such copy
      {".a.qvtmp" + alive + "-3", false},  // its writer may still be at it
      {"report.pdf.qvtmp" + dead + "-0", false},  // not a private name
      {".report.pdf.qvtmp" + dead, false},
      {".report.pdf.qvtmp" + dead + "-", false},
      {".report.pdf.qvtmp-" + dead + "-1", false},
      {".report.pdf.qvtmp" + dead + "-1x", false},
      {"..qvtmp" + dead + "-1", false},  // no target name
      {".report.pdf", false},
      {".report.pdf.qvtmp0-1", false},
  };
  plat::FileOps ops;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    ASSERT_TRUE(plat::atomicWrite(path, "part of a copy"));
    EXPECT_EQ(ops.isLeftover(path), c.removed);
    EXPECT_EQ(ops.removeLeftover(path), c.removed);
    EXPECT_EQ(plat::fileExists(path), !c.removed);
    if (c.removed) {
      EXPECT_TRUE(ops.isOwn(path));  // the removal is no change of the user's
    }
  }
  // A folder of that name is nobody's copy.
  const std::string folder = dir + "/.x.qvtmp" + dead + "-2";
  ASSERT_TRUE(plat::makeDirectories(folder));
  EXPECT_FALSE(ops.removeLeftover(folder));
  EXPECT_TRUE(plat::isDirectory(folder));
  plat::removeTree(dir);
}

}  // namespace

namespace {

// A target whose name is near the limit of a name still gets its copy: the
// private name is cut to fit, at a character's start, and nothing of it is
// left beside the target.
TEST(FileOpsPlace, ATargetWithALongNameIsPlaced) {
  const std::string dir = plat::makeTemporaryDirectory("qvlongname");
  std::string utf8;
  while (utf8.size() + 3 <= 250) utf8 += "\xe6\x96\x87";  // 文
  const std::string names[] = {std::string(255, 'n'), std::string(241, 'a') + ".txt", utf8, "short.txt"};
  for (const auto& name : names) {
    SCOPED_TRACE(name.size());
    const std::string target = dir + "/" + name;
    ASSERT_TRUE(plat::FileOps::shared().writeFile(target, "first"));
    const std::string src = dir + "/src";
    ASSERT_TRUE(plat::atomicWrite(src, "second copy"));
    ASSERT_TRUE(plat::FileOps::shared().copyFile(src, target));
    EXPECT_EQ(plat::readFile(target).value_or(""), "second copy");
    ::unlink(src.c_str());
  }
  size_t entries = 0;
  DIR* d = ::opendir(dir.c_str());
  ASSERT_TRUE(d);
  while (dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    EXPECT_EQ(n.find(".qvtmp"), std::string::npos) << n;
    ++entries;
  }
  ::closedir(d);
  EXPECT_EQ(entries, 4u);
  plat::removeTree(dir);
}

}  // namespace
