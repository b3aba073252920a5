// Helpers shared by the database wrapper's tests: a temporary folder and a
// second process that holds a database file locked.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

extern char** environ;

namespace sqtest {

class TempDir {
public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "sqtest.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// Runs sq_lock_holder: "begin exclusive" on the file, one row inserted inside
// the transaction, held until release().
class LockHolder {
public:
  LockHolder(const std::string& db, const std::string& table, const std::string& text) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::string prog = SQ_LOCK_HOLDER;
    char* argv[] = {prog.data(), const_cast<char*>(db.c_str()), const_cast<char*>(table.c_str()),
                    const_cast<char*>(text.c_str()), nullptr};
    if (posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv, environ) != 0) {
      ADD_FAILURE() << "could not start " << prog;
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    // Wait until the lock is really held.
    std::string got;
    char c;
    while (got.size() < 7 && ::read(fromChild_, &c, 1) == 1) got += c;
    locked_ = got == "locked\n";
  }
  ~LockHolder() { release(); }

  bool locked() const { return locked_; }

  // Lets the holder commit; its exit status (0 when the commit worked).
  int release() {
    if (pid_ <= 0) return status_;
    if (::write(toChild_, "\n", 1) != 1) ADD_FAILURE() << "write to holder failed";
    ::close(toChild_);
    ::close(fromChild_);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return status_;
  }

private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  bool locked_ = false;
  int status_ = -1;
};

}  // namespace sqtest
