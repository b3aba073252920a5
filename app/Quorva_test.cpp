// The Quorva program itself, headless, against devcloud: its command line,
// a first sign-in that the next start repeats by itself, clean ends on
// SIGINT and SIGTERM, and two clients of one account (each with its own
// home folder and sync folder) converging after edits on both sides.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "app/SettingsDb.h"
#include "app/sync/Directoryhandler.h"
#include "app/sync/SyncManager.h"
#include "app/trans/TransHandoff.h"
#include "platform/foundation/file_util.h"
#include "tests/support/DevCloudProcess.h"

extern char** environ;

namespace {

using plat::Dictionary;
using plat::Value;

constexpr bool kEnginesJoined = std::is_base_of_v<TransHandoff, SyncManager>;
// A running program sees the user's changes once the sync engine answers its
// folder watchers itself.
constexpr bool kWatching = std::is_base_of_v<LocalEvents, SyncManager>;

// One Quorva process with a home folder of its own; its standard output and
// error are read line by line as they come.
class Quorva {
public:
  Quorva(const std::string& home, std::vector<std::string> args) {
    std::vector<std::string> env{"HOME=" + home, "LANG=C.UTF-8"};
    for (const char* keep : {"PATH", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    }
    args.insert(args.begin(), QUORVA_BINARY);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    if (::posix_spawn(&pid_, QUORVA_BINARY, &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    fd_ = out[0];
    reader_ = std::thread([this] { read(); });
  }

  ~Quorva() {
    if (pid_ > 0 && status_ == kRunning) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  bool started() const { return pid_ > 0; }

  // The first line holding `part`, waiting up to `seconds`.
  std::optional<std::string> line(const std::string& part, double seconds) {
    std::unique_lock<std::mutex> l(mutex_);
    std::optional<std::string> found;
    cv_.wait_for(l, std::chrono::duration<double>(seconds), [&] {
      for (const auto& s : lines_) {
        if (s.find(part) != std::string::npos) {
          found = s;
          return true;
        }
      }
      return ended_;
    });
    return found;
  }

  // Sends the signal and waits for the end: the exit code, or -1.
  int stop(int signal, double seconds = 120) {
    if (pid_ > 0 && status_ == kRunning) ::kill(pid_, signal);
    return wait(seconds);
  }

  int wait(double seconds = 120) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (status_ == kRunning && std::chrono::steady_clock::now() < deadline) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (reader_.joinable() && status_ != kRunning) reader_.join();
    return status_;
  }

  std::string output() const {
    std::lock_guard<std::mutex> l(mutex_);
    std::string all;
    for (const auto& s : lines_) all += s + "\n";
    return all;
  }

private:
  static constexpr int kRunning = -1000;

  void read() {
    std::string pending;
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> l(mutex_);
        lines_.push_back(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> l(mutex_);
    ended_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = kRunning;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool ended_ = false;
  std::thread reader_;
};

class QuorvaTest : public ::testing::Test {
protected:
  static DevCloudProcess& cloud() {
    static DevCloudProcess c(false);
    return c;
  }
  void SetUp() override {
    ASSERT_TRUE(cloud().started());
    dir_ = plat::makeTemporaryDirectory("qvprogram");
  }
  void TearDown() override { plat::removeTree(dir_); }

  // A folder of this test; made when missing.
  std::string folder(const std::string& name) {
    const std::string p = dir_ + "/" + name;
    plat::makeDirectories(p, 0700);
    return p;
  }

  std::pair<std::string, std::string> newUser() {
    static int n = 0;
    const std::string user = "prog" + std::to_string(::getpid()) + "_" + std::to_string(++n) + "@example.test";
    const std::string password = "pw " + std::to_string(n);
    EXPECT_TRUE(cloud().hook("POST", "user", Value(Dictionary{{"username", Value(user)}, {"password", Value(password)}})));
    return {user, password};
  }

  std::vector<std::string> firstSignIn(const std::string& user, const std::string& password, const std::string& sync) {
    return {"--headless", "--server", cloud().url(), "--user", user, "--password", password, "--sync-folder", sync};
  }

  static bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  std::string dir_;
};

TEST_F(QuorvaTest, TheCommandLineIsDocumentedAndCheckedWhole) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"--help"}, 0, "--sync-folder DIR"},
      {{}, 64, "run with --headless"},
      {{"--headless", "--user", "a@b.test"}, 64, "go together"},
      {{"--headless", "--server", "ftp://127.0.0.1:1"}, 64, "--server wants"},
      {{"--headless", "--bogus"}, 64, "unknown argument --bogus"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args.back());
    const std::string home = folder("home-cli");
    Quorva q(home, c.args);
    ASSERT_TRUE(q.started());
    EXPECT_EQ(q.wait(), c.code);
    EXPECT_NE(q.output().find(c.says), std::string::npos) << q.output();
    for (const char* form : {"--headless", "--server URL", "--user NAME", "--password PASS", "--help"}) {
      EXPECT_NE(q.output().find(form), std::string::npos) << form;  // the usage comes with every refusal too
    }
  }
  // Headless with nothing stored and no account to sign in with.
  Quorva none(folder("home-empty"), {"--headless", "--server", cloud().url()});
  EXPECT_TRUE(none.line("no stored account", 60));
  EXPECT_EQ(none.wait(), 2);
}

TEST_F(QuorvaTest, AFirstSignInIsStoredAndTheNextStartSignsInByItself) {
  const auto [user, password] = newUser();
  const std::string home = folder("home");
  const std::string sync = folder("sync");

  {
    Quorva refused(home, firstSignIn(user, "wrong", sync));
    EXPECT_TRUE(refused.line("Quorva: sign-in refused", 60));
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_NE(refused.output().find(R"("error" : 102,"message" : "您输入帐号或密码错误 请重新输入")"), std::string::npos);
  }
  {
    Quorva first(home, firstSignIn(user, password, sync));
    auto said = first.line("Quorva: sync folder ", 60);
    ASSERT_TRUE(said) << first.output();
    const std::string personal = sync + "/我的Quorva/个人的文件";
    EXPECT_EQ(*said, "Quorva: sync folder " + personal);
    EXPECT_TRUE(plat::isDirectory(personal));
    EXPECT_EQ(first.stop(SIGTERM), 0) << first.output();
    EXPECT_TRUE(first.line("Quorva: stopped", 1));
  }
  // What stays on disk: the account without its password in the settings
  // file; the password in the private store.
  {
    SettingsDb settings(home + "/.quorvacfg/settings.db");
    EXPECT_EQ(settings.getuser(), user);
    EXPECT_EQ(settings.getpassword(), "");
    EXPECT_EQ(settings.getsyncpath(), sync + "/我的Quorva/");
    struct stat st {};
    ASSERT_EQ(::stat((home + "/.local/share/Quorva/credentials").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  Quorva again(home, {"--headless", "--server", cloud().url()});
  EXPECT_TRUE(again.line("Quorva: signed in as " + user, 60)) << again.output();
  EXPECT_TRUE(again.line("Quorva: sync folder " + sync + "/我的Quorva/个人的文件", 10));
  EXPECT_EQ(again.stop(SIGINT), 0) << again.output();
}

// Two clients of one account, each in its own home with its own sync
// folder: a file made on either side arrives on the other, and so does an
// edit.
TEST_F(QuorvaTest, TwoClientsOfOneAccountConvergeAfterEditsOnBothSides) {
  if constexpr (!kEnginesJoined) {
    GTEST_SKIP() << "the sync engine does not hand its jobs to the transfer engine yet (SyncManager is no "
                    "TransHandoff): nothing would be uploaded or downloaded";
  }
  if constexpr (!kWatching) {
    GTEST_SKIP() << "the sync engine does not answer its folder watchers yet (SyncManager is no LocalEvents): "
                    "files written while the program runs are not seen";
  }
  const auto [user, password] = newUser();
  Quorva a(folder("home-a"), firstSignIn(user, password, folder("sync-a")));
  Quorva b(folder("home-b"), firstSignIn(user, password, folder("sync-b")));
  ASSERT_TRUE(a.line("Quorva: sync folder ", 60)) << a.output();
  ASSERT_TRUE(b.line("Quorva: sync folder ", 60)) << b.output();
  const std::string pa = dir_ + "/sync-a/我的Quorva/个人的文件/";
  const std::string pb = dir_ + "/sync-b/我的Quorva/个人的文件/";
  auto holds = [](const std::string& path, const std::string& text) {
    return [path, text] { return plat::readFile(path) == std::optional<std::string>(text); };
  };

  ASSERT_TRUE(plat::atomicWrite(pa + "从A来.txt", "written on A"));
  ASSERT_TRUE(plat::makeDirectories(pa + "docs/deep"));
  ASSERT_TRUE(plat::atomicWrite(pa + "docs/deep/notes.md", "# notes\n"));
  EXPECT_TRUE(waitFor(holds(pb + "从A来.txt", "written on A"), 240)) << b.output();
  EXPECT_TRUE(waitFor(holds(pb + "docs/deep/notes.md", "# notes\n"), 240)) << b.output();

  ASSERT_TRUE(plat::atomicWrite(pb + "从B来.txt", "written on B"));
  ASSERT_TRUE(plat::atomicWrite(pb + "docs/deep/notes.md", "# notes\nedited on B\n"));
  EXPECT_TRUE(waitFor(holds(pa + "从B来.txt", "written on B"), 240)) << a.output();
  EXPECT_TRUE(waitFor(holds(pa + "docs/deep/notes.md", "# notes\nedited on B\n"), 240)) << a.output();

  ASSERT_TRUE(plat::atomicWrite(pa + "从A来.txt", "edited on A"));
  EXPECT_TRUE(waitFor(holds(pb + "从A来.txt", "edited on A"), 240)) << b.output();

  EXPECT_EQ(a.stop(SIGTERM), 0) << a.output();
  EXPECT_EQ(b.stop(SIGTERM), 0) << b.output();
}

}  // namespace
