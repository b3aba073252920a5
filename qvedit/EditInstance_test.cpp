// The program itself, as the desktop starts it: the desktop entry that
// --register installs, one instance per user, hand-overs from later
// launches, --quit. The instance talks to devcloud and opens files with a
// recording opener script.
#include "qvedit/EditInstance.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>

#include "qvedit/EditFixture.h"
#include "tests/support/tray_host.h"

extern char** environ;

namespace edittest {
namespace {

class EditProgramTest : public EditTest {
protected:
  void SetUp() override {
    EditTest::SetUp();
    dirs_ = home + "/env";
    for (const char* d : {"", "/run", "/cache", "/data", "/config", "/home"}) ::mkdir((dirs_ + d).c_str(), 0700);
    opened_ = dirs_ + "/opened.log";
    opener_ = dirs_ + "/opener.sh";
    writeFile(opener_, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + opened_ + "'\n");
    ::chmod(opener_.c_str(), 0700);
    env_ = {"XDG_RUNTIME_DIR=" + dirs_ + "/run", "XDG_CACHE_HOME=" + dirs_ + "/cache",
            "XDG_DATA_HOME=" + dirs_ + "/data",  "XDG_CONFIG_HOME=" + dirs_ + "/config",
            "HOME=" + dirs_ + "/home",           "QVEDIT_OPENER=" + opener_,
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dirs_ + "/no-bus"};
    // The sanitizer builds' options (suppressions, exit codes) hold for the programs run here too.
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* v = std::getenv(name)) env_.push_back(std::string(name) + "=" + v);
    }
  }

  void TearDown() override {
    run({QVEDIT_BINARY, "--quit"});
    if (instance_ > 0) {
      if (!exited(instance_, 10)) ::kill(instance_, SIGKILL);
      ::waitpid(instance_, nullptr, 0);
    }
    if (HasFailure()) std::cerr << "instance log:\n" << plat::readFile(dirs_ + "/instance.log").value_or("") << "\n";
    EditTest::TearDown();
  }

  pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> a = args, e = env_;
    std::vector<char*> argv, envp;
    for (auto& s : a) argv.push_back(s.data());
    for (auto& s : e) envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
  }

  static bool exited(pid_t pid, double seconds, int* code = nullptr) {
    for (int i = 0; i < seconds * 100; ++i) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Runs a short command to its end: its exit code and what it printed.
  int run(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::string log = dirs_ + "/run-" + std::to_string(++runs_) + ".log";
    pid_t pid = spawn(args, log);
    int code = -1;
    if (pid <= 0) return -1;
    if (!exited(pid, 30, &code)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (output) *output = plat::readFile(log).value_or("");
    return code;
  }

  bool waitFor(const std::function<bool()>& done, double seconds = 30) {
    for (int i = 0; i < seconds * 100; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  }

  std::string socket() const { return dirs_ + "/run/qvedit.sock"; }
  std::string openedLog() const { return plat::readFile(opened_).value_or(""); }

  // Every process's command line that holds `text`.
  static std::vector<std::string> commandLinesWith(const std::string& text) {
    std::vector<std::string> hits;
    DIR* d = ::opendir("/proc");
    while (dirent* e = d ? ::readdir(d) : nullptr) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      auto cmd = plat::readFile(std::string("/proc/") + e->d_name + "/cmdline");
      if (cmd && cmd->find(text) != std::string::npos) hits.push_back(e->d_name);
    }
    if (d) ::closedir(d);
    return hits;
  }

  std::string dirs_, opened_, opener_;
  std::vector<std::string> env_;
  pid_t instance_ = -1;
  int runs_ = 0;
};

TEST_F(EditProgramTest, TheStatusItemsQuitEndsTheHelper) {
  qvtest::PrivateSessionBus bus;
  ASSERT_TRUE(bus.started()) << bus.failure();
  qvtest::TrayHost host(true, false);
  ASSERT_TRUE(host.started());
  for (auto& v : env_) {
    if (v.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) v = "DBUS_SESSION_BUS_ADDRESS=" + bus.address();
  }
  instance_ = spawn({QVEDIT_BINARY, "--server", cloud->url()}, dirs_ + "/instance.log");
  ASSERT_GT(instance_, 0);
  ASSERT_TRUE(host.waitForItem(30)) << plat::readFile(dirs_ + "/instance.log").value_or("");
  const std::string item = host.item();
  EXPECT_EQ(host.property(item, "Id"), std::optional<std::string>("qvedit"));
  auto root = host.layout(item);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->children.size(), 1u);
  EXPECT_EQ(root->children[0].label, "Quit");
  EXPECT_EQ(root->children[0].shortcut, "");
  auto icon = host.iconPixmap(item);
  ASSERT_TRUE(icon);
  EXPECT_TRUE(std::any_of(icon->argb.begin(), icon->argb.end(), [](uint8_t b) { return b != 0; })) << "an empty icon";
  ASSERT_TRUE(waitFor([&] { return plat::fileExists(socket()); }));
  ASSERT_TRUE(host.event(item, root->children[0].id, "clicked"));
  int code = -1;
  ASSERT_TRUE(exited(instance_, 20, &code));
  instance_ = -1;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(run({QVEDIT_BINARY, "--quit"}), 1) << "nobody left to quit";
}

TEST_F(EditProgramTest, TheDesktopEntryHandsOverToTheRunningInstance) {
  User u = newUser({{"docs/report.txt", "from the cloud"}});
  std::string out;
  ASSERT_EQ(run({QVEDIT_BINARY, "--server", cloud->url(), "--register"}, &out), 0) << out;
  std::string entry = plat::readFile(dirs_ + "/data/applications/qvedit.desktop").value_or("");
  EXPECT_NE(entry.find("MimeType=x-scheme-handler/qvedit;\n"), std::string::npos);
  ASSERT_EQ(run({"xdg-mime", "query", "default", "x-scheme-handler/qvedit"}, &out), 0);
  EXPECT_EQ(out, "qvedit.desktop\n");

  instance_ = spawn({QVEDIT_BINARY, "--server", cloud->url()}, dirs_ + "/instance.log");
  ASSERT_GT(instance_, 0);
  ASSERT_TRUE(waitFor([&] { return plat::fileExists(socket()); }));
  // Never open to others, from the moment it shows; read and write for the
  // user once the listener has set its mode (right after it listens).
  struct stat st{};
  ASSERT_EQ(::lstat(socket().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
  EXPECT_TRUE(waitFor([&] { return ::lstat(socket().c_str(), &st) == 0 && (st.st_mode & 0777) == 0600; }))
      << std::oct << (st.st_mode & 0777);
  EXPECT_EQ(run({QVEDIT_BINARY}, &out), 0) << "a second instance leaves at once";
  EXPECT_NE(out.find("already running"), std::string::npos);

  // The desktop's launch: the entry's Exec line with the address for %u.
  size_t at = entry.find("Exec=");
  ASSERT_NE(at, std::string::npos);
  std::string exec = entry.substr(at + 5, entry.find('\n', at) - at - 5);
  std::vector<std::string> args;
  std::istringstream words(exec);
  for (std::string w; words >> w;) args.push_back(w == "%u" ? editURL(u.mount, "docs/report.txt", u.refresh) : w);
  ASSERT_EQ(args.size(), 4u) << exec;
  EXPECT_EQ(run(args, &out), 0) << out;

  ASSERT_TRUE(waitFor([&] { return openedLog().find("/edit/report.txt\n") != std::string::npos; })) << openedLog();
  std::string copy = openedLog().substr(0, openedLog().find('\n'));
  EXPECT_EQ(copy.rfind(dirs_ + "/cache/qvedit/", 0), 0u) << copy;
  EXPECT_EQ(readAll(copy), "from the cloud");

  // A save goes up.
  writeFile(copy, "saved in the editor");
  ASSERT_TRUE(waitFor([&] { return cloudHash(u, "docs/report.txt") == NSDataExpand::sha1HexDigest("saved in the editor"); }));

  // A refused address: the launcher says why and no job is made.
  EXPECT_EQ(run({QVEDIT_BINARY, editURL(u.mount, "docs/../x", u.refresh)}, &out), 2);
  EXPECT_NE(out.find("\".\" or \"..\""), std::string::npos) << out;

  EXPECT_TRUE(commandLinesWith(u.refresh).empty()) << "the token is in no command line";
  EXPECT_EQ(plat::readFile(dirs_ + "/instance.log").value_or("").find(u.refresh), std::string::npos);

  EXPECT_EQ(run({QVEDIT_BINARY, "--quit"}), 0);
  int code = -1;
  EXPECT_TRUE(exited(instance_, 10, &code));
  EXPECT_EQ(code, 0);
  instance_ = -1;
  EXPECT_FALSE(plat::fileExists(socket()));
  EXPECT_EQ(run({QVEDIT_BINARY, "--quit"}), 1) << "nobody left to quit";
}

TEST_F(EditProgramTest, ALaunchWithNoInstanceStartsOneWithoutTheAddress) {
  User u = newUser({{"plan.txt", "v1"}});
  std::string out;
  EXPECT_EQ(run({QVEDIT_BINARY, "--server", cloud->url(), editURL(u.mount, "plan.txt", u.refresh)}, &out), 0) << out;
  ASSERT_TRUE(plat::fileExists(socket()));
  ASSERT_TRUE(waitFor([&] { return openedLog().find("/edit/plan.txt\n") != std::string::npos; })) << openedLog();
  EXPECT_TRUE(commandLinesWith(u.refresh).empty());
  EXPECT_EQ(run({QVEDIT_BINARY, "--quit"}), 0);
  EXPECT_TRUE(waitFor([&] { return !plat::fileExists(socket()); }, 10));
}

TEST_F(EditProgramTest, HelpNamesEveryForm) {
  std::string out;
  EXPECT_EQ(run({QVEDIT_BINARY, "--help"}, &out), 0);
  for (const char* form : {"--register", "--server URL", "--quit", "qvedit://"}) {
    EXPECT_NE(out.find(form), std::string::npos) << form;
  }
  EXPECT_EQ(run({QVEDIT_BINARY, "--server", "ftp://x"}, &out), 64);
  EXPECT_EQ(run({QVEDIT_BINARY, "--bogus"}, &out), 64);
}

TEST_F(EditProgramTest, UnsentSavesOutliveTheHelperAndQuitWarnsOfThem) {
  User u = newUser({{"keep.txt", "cloud text"}});
  std::string out;
  instance_ = spawn({QVEDIT_BINARY, "--server", cloud->url()}, dirs_ + "/instance.log");
  ASSERT_GT(instance_, 0);
  ASSERT_TRUE(waitFor([&] { return plat::fileExists(socket()); }));
  ASSERT_EQ(run({QVEDIT_BINARY, editURL(u.mount, "keep.txt", u.refresh)}, &out), 0) << out;
  ASSERT_TRUE(waitFor([&] { return openedLog().find("/edit/keep.txt\n") != std::string::npos; })) << openedLog();
  std::string copy = openedLog().substr(0, openedLog().find('\n'));
  // The service takes no upload for now: the save stays on this machine only.
  int64_t since = cloud->lastSeq();
  failAddFile("/keep.txt", 1000);
  writeFile(copy, "my unsent work");
  ASSERT_TRUE(waitFor([&] { return countRequests(since, "PUT", "/keep.txt") > 0; }));

  EXPECT_EQ(run({QVEDIT_BINARY, "--quit"}, &out), 0);
  EXPECT_NE(out.find("saves not uploaded yet: keep.txt"), std::string::npos) << out;
  int code = -1;
  ASSERT_TRUE(exited(instance_, 10, &code));
  instance_ = -1;

  // A new helper, a new hand-over of the same file: the copy is kept, opened and sent.
  cloud->hook("DELETE", "faults");
  auto openingsNow = [&] {
    std::string log = openedLog();
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  };
  size_t openings = openingsNow();
  since = cloud->lastSeq();
  ASSERT_EQ(run({QVEDIT_BINARY, "--server", cloud->url(), editURL(u.mount, "keep.txt", u.refresh)}, &out), 0) << out;
  ASSERT_TRUE(waitFor([&] { return cloudHash(u, "keep.txt") == NSDataExpand::sha1HexDigest("my unsent work"); }))
      << plat::readFile(dirs_ + "/instance.log").value_or("");
  EXPECT_EQ(readAll(copy), "my unsent work");
  EXPECT_EQ(countRequests(since, "GET", "/content/"), 0) << "the cloud version never replaced it";
  EXPECT_TRUE(waitFor([&] { return openingsNow() > openings; }));
  // The upload's end reaches the helper a moment after the service has the file.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(run({QVEDIT_BINARY, "--quit"}, &out), 0);
  EXPECT_EQ(out.find("not uploaded"), std::string::npos) << "nothing left to warn of: " << out;
}

}  // namespace
}  // namespace edittest
