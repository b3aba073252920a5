// The Quorva program itself, headless, against devcloud: its command line,
// a first sign-in that the next start repeats by itself, clean ends on
// SIGINT and SIGTERM, team shares placed under the team root and left
// alone, two clients of one account (each with its own home folder and
// sync folder) converging after edits on both sides, and a client killed
// in the middle of a transfer catching up after its restart.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/fanotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/SettingsDb.h"
#include "app/sync/Directoryhandler.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/TransHandoff.h"
#include "platform/foundation/file_util.h"
#include "tests/support/DevCloudProcess.h"
#include "tests/support/child_process.h"
#include "tests/support/fanotify_gate.h"
#include "tests/support/test_noise.h"

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
    const auto env = testsupport::childEnvironment(
        {"HOME=" + home, "LANG=C.UTF-8"}, {"PATH", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"});
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = testsupport::spawnChild(QUORVA_BINARY, args, env, out[1]);
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
  pid_t pid() const { return pid_; }

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
        signal_ = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (reader_.joinable() && status_ != kRunning) reader_.join();
    return status_;
  }

  // The signal that ended the program, 0 when it exited.
  int signal() const { return signal_; }

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
  int signal_ = 0;
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

// A service on a loopback port that takes every connection and reads its
// request but never answers; it counts the requests for each path.
class SilentService {
public:
  SilentService() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~SilentService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int c : clients_) ::close(c);
    if (fd_ >= 0) ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int requestsFor(const std::string& path) const {
    std::lock_guard<std::mutex> l(mutex_);
    int n = 0;
    for (const auto& r : requests_) n += r.find(" " + path + " ") != std::string::npos;
    return n;
  }

private:
  void serve() {
    std::map<int, std::string> heads;
    while (!stop_) {
      std::vector<pollfd> fds{{fd_, POLLIN, 0}};
      for (const auto& [c, head] : heads) fds.push_back({c, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          clients_.push_back(c);
          heads[c];
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[2048];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        std::string& head = heads[fds[i].fd];
        if (n > 0) head.append(buf, static_cast<size_t>(n));
        const size_t eol = head.find("\r\n");
        if (n <= 0 || eol != std::string::npos) {
          if (eol != std::string::npos) {
            std::lock_guard<std::mutex> l(mutex_);
            requests_.push_back(head.substr(0, eol));
          }
          heads.erase(fds[i].fd);  // kept open, never answered
        }
      }
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> clients_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

// A stop while the service keeps a sign-in waiting: the sign-in is given up
// and the program ends within a few seconds, not at the request's time-out;
// a second signal ends it at once.
TEST_F(QuorvaTest, AStopDuringASignInThatIsNeverAnsweredEndsTheProgramSoon) {
  struct Case {
    const char* name;
    std::vector<int> signals;
    int exitCode;  // -1: a signal ends it
  } cases[] = {
      {"SIGTERM", {SIGTERM}, 0},
      {"SIGINT", {SIGINT}, 0},
      // Both arrive together (the program is stopped meanwhile): the second
      // is not held up by what the first waits for, and ends it.
      {"a second signal", {SIGTERM, SIGINT}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SilentService service;
    Quorva q(folder(std::string("home-stop-") + c.name),
             {"--headless", "--server", service.url(), "--user", "a@example.test", "--password", "pw",
              "--sync-folder", folder("sync-stop")});
    ASSERT_TRUE(q.started());
    ASSERT_TRUE(waitFor([&] { return service.requestsFor("/oauth/token") > 0; }, 60)) << q.output();
    const auto sent = std::chrono::steady_clock::now();
    if (c.signals.size() > 1) ::kill(q.pid(), SIGSTOP);
    for (int sig : c.signals) ::kill(q.pid(), sig);
    if (c.signals.size() > 1) ::kill(q.pid(), SIGCONT);
    const int code = q.wait(30);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_EQ(code, c.exitCode) << q.output();
    // Whichever of the two the program took second.
    if (c.exitCode == -1) {
      EXPECT_TRUE(q.signal() == SIGTERM || q.signal() == SIGINT) << q.signal();
    }
    EXPECT_LT(took, 20) << "the request's time-out is 60 s";
    EXPECT_EQ(q.output().find("sign-in refused"), std::string::npos) << q.output();
    if (c.exitCode == 0) {
      EXPECT_TRUE(q.line("Quorva: stopped", 1)) << q.output();
    }
  }
}

// A stored account that start-up does not sign in again (a name that is no
// e-mail address, with a password): the headless form says what it found
// and why, rather than that nothing is stored.
TEST_F(QuorvaTest, AStoredAccountThatIsNotSignedInAgainIsNamedWithTheReason) {
  const std::string user = "plain" + std::to_string(::getpid()), password = "pw plain";
  ASSERT_TRUE(cloud().hook("POST", "user", Value(Dictionary{{"username", Value(user)}, {"password", Value(password)}})));
  const std::string home = folder("home-plain");
  {
    Quorva first(home, firstSignIn(user, password, folder("sync-plain")));
    ASSERT_TRUE(first.line("Quorva: sync folder ", 60)) << first.output();
    EXPECT_EQ(first.stop(SIGTERM), 0) << first.output();
  }
  Quorva again(home, {"--headless", "--server", cloud().url()});
  auto said = again.line("Quorva: the stored account", 60);
  ASSERT_TRUE(said) << again.output();
  EXPECT_NE(said->find(user), std::string::npos) << *said;
  EXPECT_NE(said->find("not an e-mail address"), std::string::npos) << *said;
  EXPECT_EQ(again.output().find("no stored account"), std::string::npos) << again.output();
  EXPECT_EQ(again.wait(), 2);
}

// A member of a team, with a team folder the user may change and one the
// user only views shared into the personal files, and a folder another user
// shares: the first sign-in puts each where it belongs (team folders under
// the team root), and neither it nor a restart sends the service a
// deletion, rename or move that nobody made.
TEST_F(QuorvaTest, TeamSharesStayWhereTheyBelongAfterAFirstSignInAndARestart) {
  const std::string tag = std::to_string(::getpid());
  const std::string user = "member" + tag + "@example.test", password = "pw member";
  const std::string team = "团队" + tag;
  auto made = cloud().hook("POST", "user",
                           Value(Dictionary{{"username", Value(user)}, {"password", Value(password)},
                                            {"email", Value(user)}, {"org", Value(team)}}));
  ASSERT_TRUE(made);
  const int64_t mount = (*made)["mount_id"].longLongValue();
  ASSERT_TRUE(cloud().hook("POST", "team_folder", Value(Dictionary{{"org", Value(team)}, {"name", Value("共同资料")}})));
  ASSERT_TRUE(cloud().hook("POST", "team_folder",
                           Value(Dictionary{{"org", Value(team)}, {"name", Value("只读资料")},
                                            {"readonly_for", Value(plat::Array{Value(user)})}})));
  const std::string owner = "owner" + tag + "@example.test";
  ASSERT_TRUE(cloud().hook("POST", "user", Value(Dictionary{{"username", Value(owner)}, {"password", Value("pw")}})));
  auto files = [&](const std::string& who, const std::vector<std::pair<std::string, std::string>>& list) {
    plat::Array f;
    for (const auto& [path, text] : list) f.push_back(Value(Dictionary{{"path", Value(path)}, {"text", Value(text)}}));
    return cloud().hook("POST", "files", Value(Dictionary{{"username", Value(who)}, {"files", Value(f)}})).has_value();
  };
  ASSERT_TRUE(files(owner, {{"私人共享/给你.txt", "from the owner"}}));
  ASSERT_TRUE(cloud().hook("POST", "share",
                           Value(Dictionary{{"owner", Value(owner)}, {"path", Value("私人共享")}, {"to", Value(user)}})));
  ASSERT_TRUE(files(user, {{"共同资料/计划.txt", "plan"}, {"只读资料/规定.txt", "rules"}, {"我的.txt", "mine"}}));

  const std::string home = folder("home-team"), sync = folder("sync-team");
  const std::string personal = sync + "/我的Quorva/个人的文件/", teamroot = sync + "/我的Quorva/团队的文件/";
  const int64_t since = cloud().lastSeq();
  // The calls of this account since the start: "VERB target status".
  auto calls = [&](const std::set<std::string>& verbs) {
    std::vector<std::string> out;
    for (const Value& e : cloud().requests(since)) {
      if (!verbs.count(e["method"].string())) continue;
      bool ours = false;
      for (const Value& h : e["headers"].array()) {
        ours = ours || (::strcasecmp(h[size_t{0}].string().c_str(), "x-qv-mount") == 0 &&
                        h[size_t{1}].string() == std::to_string(mount));
      }
      const std::string target = e["target"].string();
      if (ours) {
        out.push_back(e["method"].string() + " " + NSStringExpand::urlDecoded(target).value_or(target) + " " +
                      std::to_string(e["status"].longLongValue()));
      }
    }
    return out;
  };
  auto holds = [](const std::string& path, const std::string& text) {
    return plat::readFile(path) == std::optional<std::string>(text);
  };
  // Rows "path status" of the account's sync database, and its roots.
  auto database = [&]() -> std::string {
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(home + "/.quorvacfg", ec), end; !ec && it != end;
         it.increment(ec)) {
      if (it->path().filename() == "qvsyncdbex.db") return it->path().string();
    }
    return "";
  };
  auto rows = [&] {
    synctest::Raw raw(database());
    std::vector<std::string> out;
    for (const auto& r : raw.rows("select path, status from SYNC order by path")) out.push_back(r[0] + " " + r[1]);
    return out;
  };
  auto roots = [&] {
    synctest::Raw raw(database());
    std::vector<std::string> out;
    for (const auto& r : raw.rows("select path, synctype, org > 0 from VERSION where path <> '/' order by path")) {
      out.push_back(r[0] + " " + r[1] + " " + r[2]);
    }
    return out;
  };
  auto compares = [&] { return calls({"COMPARE"}).size(); };
  // Passes of the engine: a file written in the personal root asks for one
  // at once; each pass compares the personal root first.
  auto passes = [&](Quorva& q, const std::string& name, int count) {
    for (int i = 0; i < count; ++i) {
      const size_t before = compares();
      const std::string file = name + std::to_string(i) + ".txt";
      ASSERT_TRUE(plat::atomicWrite(personal + file, file));
      ASSERT_TRUE(waitFor([&] { return compares() > before; }, 240)) << q.output();
    }
  };
  std::vector<std::string> wantRows{"共同资料 4", "共同资料/计划.txt 4", "只读资料 4", "只读资料/规定.txt 4",
                                    "我的.txt 4", "私人共享 4", "私人共享/给你.txt 4"};
  const std::set<std::string> changes{"DELETE", "RENAME", "MOVE"};
  // Settled as wanted, or a change went out (which fails at once).
  auto settledAs = [&](const std::vector<std::string>& want) {
    return [&, want] { return (!database().empty() && rows() == want) || !calls(changes).empty(); };
  };
  const std::vector<std::string> wantRoots{"/共同资料/ 0 1", "/只读资料/ 1 1", "/私人共享/ 0 0"};
  auto placesAreRight = [&] {
    EXPECT_TRUE(holds(teamroot + "共同资料/计划.txt", "plan"));
    EXPECT_TRUE(holds(teamroot + "只读资料/规定.txt", "rules"));
    EXPECT_TRUE(holds(personal + "私人共享/给你.txt", "from the owner"));
    EXPECT_TRUE(holds(personal + "我的.txt", "mine"));
    // Team folders have no second place in the personal root.
    EXPECT_FALSE(plat::fileExists(personal + "共同资料"));
    EXPECT_FALSE(plat::fileExists(personal + "只读资料"));
    struct stat st {};
    ASSERT_EQ(::stat((teamroot + "只读资料/规定.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "a file of a view-only share is read-only";
    EXPECT_EQ(roots(), wantRoots);
  };
  // Three passes, each with a new file of the personal root; then all is
  // in place and nothing was changed on the service.
  auto passesLeaveAllInPlace = [&](Quorva& q, const std::string& name) {
    ASSERT_NO_FATAL_FAILURE(passes(q, name, 3));
    for (int i = 0; i < 3; ++i) wantRows.push_back(name + std::to_string(i) + ".txt 4");
    std::sort(wantRows.begin(), wantRows.end());
    EXPECT_TRUE(waitFor(settledAs(wantRows), 240)) << q.output();
    EXPECT_EQ(rows(), wantRows);
    placesAreRight();
    EXPECT_EQ(calls(changes), std::vector<std::string>{}) << q.output();
  };

  {
    Quorva first(home, firstSignIn(user, password, sync));
    ASSERT_TRUE(first.line("Quorva: sync folder ", 60)) << first.output();
    ASSERT_TRUE(waitFor(settledAs(wantRows), 240)) << first.output();
    ASSERT_EQ(calls(changes), std::vector<std::string>{}) << first.output();
    ASSERT_EQ(rows(), wantRows);
    ASSERT_NO_FATAL_FAILURE(passesLeaveAllInPlace(first, "first"));
    EXPECT_EQ(first.stop(SIGTERM), 0) << first.output();
  }
  // While it is away, each team folder gets a file.
  ASSERT_TRUE(files(user, {{"共同资料/新.txt", "new"}, {"只读资料/新规定.txt", "new rules"}}));
  {
    Quorva again(home, {"--headless", "--server", cloud().url()});
    ASSERT_TRUE(again.line("Quorva: sync folder ", 60)) << again.output();
    for (const char* r : {"共同资料/新.txt 4", "只读资料/新规定.txt 4"}) wantRows.push_back(r);
    ASSERT_NO_FATAL_FAILURE(passesLeaveAllInPlace(again, "again"));
    EXPECT_TRUE(holds(teamroot + "共同资料/新.txt", "new"));
    EXPECT_TRUE(holds(teamroot + "只读资料/新规定.txt", "new rules"));
    EXPECT_EQ(again.stop(SIGTERM), 0) << again.output();
  }
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

// Two clients of one account where one is killed (SIGKILL) in the middle of
// a large transfer and started again: whatever the kill left behind (a
// partial upload on the service, a partial download with its block record)
// must not cost a file, double one or leave a temporary beside it, and what
// the other side changed meanwhile still arrives.
class QuorvaKillTest : public QuorvaTest {
protected:
  static constexpr size_t kLarge = 24u << 20;
  // File path below the personal folder -> SHA-1 of its content.
  using Files = std::map<std::string, std::string>;

  void SetUp() override {
    QuorvaTest::SetUp();
    if (HasFatalFailure()) return;
    std::tie(user_, password_) = newUser();
    since_ = cloud().lastSeq();
  }
  void TearDown() override {
    cloud().hook("DELETE", "faults");
    a_.reset();
    b_.reset();
    QuorvaTest::TearDown();
  }

  std::unique_ptr<Quorva> first(const std::string& side) {
    return std::make_unique<Quorva>(folder("home-" + side), firstSignIn(user_, password_, folder("sync-" + side)));
  }
  // A later start: the account and the sync folder are the stored ones.
  std::unique_ptr<Quorva> again(const std::string& side) {
    return std::make_unique<Quorva>(dir_ + "/home-" + side, std::vector<std::string>{"--headless", "--server", cloud().url()});
  }
  std::string personal(const std::string& side) { return dir_ + "/sync-" + side + "/我的Quorva/个人的文件/"; }

  // Both clients signed in and in step: a small file made on A is on B.
  void startBoth() {
    a_ = first("a");
    b_ = first("b");
    ASSERT_TRUE(a_->line("Quorva: sync folder ", 60)) << a_->output();
    ASSERT_TRUE(b_->line("Quorva: sync folder ", 60)) << b_->output();
    ASSERT_TRUE(plat::atomicWrite(personal("a") + "small.txt", "first words"));
    ASSERT_TRUE(waitFor([&] { return plat::readFile(personal("b") + "small.txt") == std::optional<std::string>("first words"); },
                        240))
        << b_->output();
  }


  // Content never seen by this service before: a content it holds would go
  // up at once, without pieces.
  static unsigned seed() {
    static unsigned n = 0;
    return static_cast<unsigned>(::getpid()) * 1000u + ++n;
  }

  void fault(const Dictionary& rule) { ASSERT_TRUE(cloud().hook("POST", "fault", Value(rule))); }

  // The recorded requests of this test whose target starts with `prefix`
  // (the hooks' own left out).
  std::vector<Value> recorded(const std::string& prefix, std::optional<int64_t> since = std::nullopt) {
    std::vector<Value> out;
    for (const Value& e : cloud().requests(since.value_or(since_))) {
      const std::string target = e["target"].string();
      if (target.rfind("/_test/", 0) == 0 || target.rfind(prefix, 0) != 0) continue;
      out.push_back(e);
    }
    return out;
  }

  static std::optional<std::string> headerOf(const Value& entry, const std::string& name) {
    for (const Value& pair : entry["headers"].array()) {
      const std::string k = pair[size_t{0}].string();
      if (k.size() == name.size() && ::strcasecmp(k.c_str(), name.c_str()) == 0) return pair[size_t{1}].string();
    }
    return std::nullopt;
  }

  // Every file below a folder, hashed; a file read again only when its size
  // or time changed, so polling a large one stays cheap.
  Files disk(const std::string& root) {
    Files out;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      const std::string path = it->path().string();
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0) continue;
      const std::string stamp = std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) + "." +
                                std::to_string(st.st_mtim.tv_nsec);
      auto& memo = hashes_[path];
      if (memo.first != stamp) memo = {stamp, NSStringExpand::sha1HexDigest(plat::readFile(path).value_or(""))};
      out[path.substr(root.size())] = memo.second;
    }
    return out;
  }
  Files service() {
    Files out;
    auto reply = cloud().hook("GET", "tree?username=" + NSStringExpand::stringByAddingPercentEscapes(user_));
    if (!reply) return out;
    for (const Value& n : (*reply)["nodes"].array()) {
      if (n["dir"].boolValue()) continue;
      std::string p = n["path"].string();
      if (!p.empty() && p.front() == '/') p.erase(0, 1);
      out[p] = n["filehash"].string();
    }
    return out;
  }

  // Waits until both sync folders and the service hold exactly `expected`:
  // no file missing, none twice, no conflict copy, no temporary left.
  bool converged(const Files& expected) {
    return waitFor([&] { return disk(personal("a")) == expected && disk(personal("b")) == expected && service() == expected; },
                   240);
  }
  std::string describe() {
    std::string out;
    auto list = [&out](const char* who, const Files& f) {
      for (const auto& [p, h] : f) out += std::string("  ") + who + " " + p + " " + h + "\n";
    };
    list("A", disk(personal("a")));
    list("B", disk(personal("b")));
    list("service", service());
    return out + "A said:\n" + (a_ ? a_->output() : "") + "B said:\n" + (b_ ? b_->output() : "");
  }

  // Files below a client's home whose name ends in `suffix`.
  std::vector<std::string> leftIn(const std::string& side, const std::string& suffix) {
    std::vector<std::string> out;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(dir_ + "/home-" + side, ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        out.push_back(it->path().string());
      }
    }
    return out;
  }

  static std::string joined(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += s + "\n";
    return out;
  }

  // Changes that removed something on the service since the test began.
  std::vector<std::string> deletions() {
    std::vector<std::string> out;
    for (const Value& e : recorded("/")) {
      if (e["method"].string() == "DELETE") out.push_back(e["target"].string());
    }
    return out;
  }

  std::string user_, password_;
  int64_t since_ = 0;
  std::unique_ptr<Quorva> a_, b_;
  std::map<std::string, std::pair<std::string, std::string>> hashes_;
};

// Where the upload stands when its client dies, and whether the user
// rewrote the file while the client was down.
struct UploadKill {
  const char* name;
  bool atFinish;   // else among the pieces
  bool rewritten;  // at the same size, other content
};

void PrintTo(const UploadKill& c, std::ostream* os) { *os << c.name; }

class QuorvaKillUploadTest : public QuorvaKillTest, public ::testing::WithParamInterface<UploadKill> {};

TEST_P(QuorvaKillUploadTest, AClientKilledMidUploadRestartsAndBothEndWithTheFileOnce) {
  if constexpr (!kEnginesJoined || !kWatching) GTEST_SKIP() << "the engines are not joined yet";
  const UploadKill c = GetParam();
  ASSERT_NO_FATAL_FAILURE(startBoth());
  const std::string sent = testsupport::noise(kLarge, seed());
  const Value finish(Dictionary{{"point", Value("upload_finish")}});
  if (c.atFinish) {
    // The finish waits inside the service until A is gone.
    ASSERT_TRUE(cloud().hook("POST", "hold", finish));
  } else {
    // Pieces go slowly, so the upload is still in flight when A dies.
    fault({{"kind", Value("stall")}, {"path", Value("/upload_part")}, {"seconds", Value(0.05)}, {"count", Value(100000)}});
  }
  ASSERT_TRUE(plat::atomicWrite(personal("a") + "大文件.bin", sent));
  const bool inFlight = waitFor(
      [&] {
        if (!c.atFinish) return recorded("/upload_part").size() >= 4;
        auto held = cloud().hook("GET", "hold?point=upload_finish");
        return held && (*held)["held"].boolValue();
      },
      240);
  EXPECT_EQ(a_->stop(SIGKILL), -1) << "A ended before it was killed:\n" << a_->output();
  ASSERT_TRUE(inFlight) << a_->output();
  ASSERT_TRUE(cloud().hook("DELETE", "faults"));
  if (c.atFinish) {
    ASSERT_TRUE(cloud().hook("POST", "release", finish));
    // The service takes the file in although nobody hears its answer.
    ASSERT_TRUE(waitFor([&] { return service()["大文件.bin"] == NSStringExpand::sha1HexDigest(sent); }, 120));
  } else {
    ASSERT_EQ(service().count("大文件.bin"), 0u) << "the upload had finished before A was killed";
  }

  // While A is down: B edits a file, and on A's disk a file is made and
  // (in one case) the large one is written anew at the same size.
  const std::string kept = c.rewritten ? testsupport::noise(kLarge, seed()) : sent;
  if (c.rewritten) {
    ASSERT_TRUE(plat::atomicWrite(personal("a") + "大文件.bin", kept));
  }
  ASSERT_TRUE(plat::atomicWrite(personal("a") + "离线.txt", "written on A while it was down"));
  ASSERT_TRUE(plat::atomicWrite(personal("b") + "small.txt", "changed on B while A was down"));
  ASSERT_TRUE(waitFor([&] { return service()["small.txt"] == NSStringExpand::sha1HexDigest("changed on B while A was down"); },
                      240))
      << b_->output();

  const int64_t restart = cloud().lastSeq();
  a_ = again("a");
  ASSERT_TRUE(a_->line("Quorva: sync folder ", 60)) << a_->output();
  const Files expected{{"small.txt", NSStringExpand::sha1HexDigest("changed on B while A was down")},
                       {"离线.txt", NSStringExpand::sha1HexDigest("written on A while it was down")},
                       {"大文件.bin", NSStringExpand::sha1HexDigest(kept)}};
  EXPECT_TRUE(converged(expected)) << describe();
  // Where the large file's pieces (the only ones of 64 KiB) began again.
  std::optional<long long> resumed;
  for (const Value& e : recorded("/upload_part", restart)) {
    long long first = -1, last = -1;
    if (e["status"].longLongValue() != 200 ||
        std::sscanf(headerOf(e, "x-qv-upload-range").value_or("").c_str(), "%lld-%lld", &first, &last) != 2) {
      continue;
    }
    if (last - first + 1 == 65536) {
      resumed = first;
      break;
    }
  }
  if (c.rewritten) {
    EXPECT_EQ(resumed, std::optional<long long>(0)) << "other content went on from the old pieces";
  } else if (c.atFinish) {
    EXPECT_EQ(resumed, std::nullopt) << "content the service holds is sent again";
  } else {
    ASSERT_TRUE(resumed);
    EXPECT_GT(*resumed, 0) << "the pieces the service took are sent again";
  }
  // The upload's resume record goes with the finished upload.
  EXPECT_TRUE(waitFor([&] { return leftIn("a", ".qvtmp").empty(); }, 60)) << joined(leftIn("a", ".qvtmp"));
  EXPECT_EQ(deletions(), std::vector<std::string>{});
  EXPECT_EQ(a_->stop(SIGTERM), 0) << a_->output();
  EXPECT_EQ(b_->stop(SIGTERM), 0) << b_->output();
}

INSTANTIATE_TEST_SUITE_P(Kill, QuorvaKillUploadTest,
                         ::testing::Values(UploadKill{"AmongThePieces", false, false},
                                           UploadKill{"AmongThePiecesThenRewritten", false, true},
                                           UploadKill{"AtTheFinish", true, false}),
                         [](const ::testing::TestParamInfo<UploadKill>& info) { return std::string(info.param.name); });

// Where the download stands when its client dies, and whether the service
// got another version of the file while the client was down.
struct DownloadKill {
  const char* name;
  bool atPlacement;  // else among the blocks
  bool replaced;
};
void PrintTo(const DownloadKill& c, std::ostream* os) { *os << c.name; }

class QuorvaKillDownloadTest : public QuorvaKillTest, public ::testing::WithParamInterface<DownloadKill> {
protected:
  // A generated file of the large size at `path` on the service: its hash.
  std::string put(const std::string& path) {
    auto reply = cloud().hook(
        "POST", "files",
        Value(Dictionary{{"username", Value(user_)},
                         {"files", Value(plat::Array{Value(Dictionary{{"path", Value(path)},
                                                                      {"size", Value(int64_t(kLarge))},
                                                                      {"seed", Value(int64_t(seed()))}})})}}));
    return reply ? (*reply)["files"][size_t{0}]["filehash"].string() : "";
  }
  // The folder of B's transfers: its finished downloads wait there to be
  // placed.
  std::string transfers() {
    std::error_code ec;
    const std::string config = dir_ + "/home-b/.quorvacfg/";
    for (std::filesystem::recursive_directory_iterator it(config, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string rel = it->path().string().substr(config.size());
      if (it->is_directory(ec) && std::count(rel.begin(), rel.end(), '/') == 2 && it->path().filename() == "cache") {
        return it->path().string();
      }
    }
    return "";
  }
  // Files of the engine's own beside a file of B's sync folder.
  std::vector<std::string> privateCopies(const std::string& name) {
    std::vector<std::string> out;
    for (const auto& [path, hash] : disk(personal("b"))) {
      if (path.rfind("." + name + ".qvtmp", 0) == 0) out.push_back(path);
    }
    return out;
  }
};

TEST_P(QuorvaKillDownloadTest, AClientKilledMidDownloadRestartsAndEndsWithTheWholeFile) {
  if constexpr (!kEnginesJoined || !kWatching) GTEST_SKIP() << "the engines are not joined yet";
  const DownloadKill c = GetParam();
  ASSERT_NO_FATAL_FAILURE(startBoth());
  std::unique_ptr<testsupport::FanotifyGate> placing;
  if (c.atPlacement) {
    // B's first read of the finished download once its copy beside the
    // target is begun waits: B dies in the middle of placing the file.
    const std::string from = transfers();
    ASSERT_FALSE(from.empty());
    // The client's reads of the finished download wait once its private
    // copy beside the target has begun.
    placing = std::make_unique<testsupport::FanotifyGate>(
        from, FAN_ACCESS_PERM, true, [this, reader = b_->pid()](const testsupport::FanotifyGate::Event& e) {
          return e.pid == reader && !privateCopies("下载.bin").empty() ? testsupport::FanotifyGate::Answer::kHold
                                                                       : testsupport::FanotifyGate::Answer::kAllow;
        });
    if (!placing->active()) GTEST_SKIP() << "fanotify permission events need CAP_SYS_ADMIN";
  } else {
    // Every content request sends eight blocks, then holds the rest back a
    // while: the download is still in flight when B dies.
    fault({{"kind", Value("stall")},
           {"path", Value("/content/")},
           {"after", Value(int64_t(8 << 20) + 1000)},
           {"seconds", Value(30)},
           {"count", Value(1000)}});
  }
  const std::string fetched = put("下载.bin");
  ASSERT_EQ(fetched.size(), 40u);
  // Evidence of a download in the middle: B's block record beside its
  // partial file holds some block, or B waits in the middle of the copy.
  const std::string record = "down_" + fetched + ".tmp";
  const bool inFlight = waitFor(
      [&] {
        if (placing) return placing->holding();
        for (const std::string& p : leftIn("b", record)) {
          const auto bits = plat::readFile(p).value_or("");
          if (bits.find_first_not_of('\0') != std::string::npos) return true;
        }
        return false;
      },
      240);
  EXPECT_EQ(b_->stop(SIGKILL), -1) << "B ended before it was killed:\n" << b_->output();
  placing.reset();
  ASSERT_TRUE(inFlight) << b_->output();
  ASSERT_TRUE(cloud().hook("DELETE", "faults"));
  ASSERT_NE(disk(personal("b"))["下载.bin"], fetched) << "the download had been placed before B was killed";

  // While B is down: A edits a file, on B's disk a file is made, and (in
  // one case) the service gets a new version of the large file.
  const std::string last = c.replaced ? put("下载.bin") : fetched;
  ASSERT_EQ(last.size(), 40u);
  ASSERT_TRUE(plat::atomicWrite(personal("b") + "离线.txt", "written on B while it was down"));
  ASSERT_TRUE(plat::atomicWrite(personal("a") + "small.txt", "changed on A while B was down"));
  ASSERT_TRUE(waitFor([&] { return service()["small.txt"] == NSStringExpand::sha1HexDigest("changed on A while B was down"); },
                      240))
      << a_->output();

  b_ = again("b");
  ASSERT_TRUE(b_->line("Quorva: sync folder ", 60)) << b_->output();
  const Files expected{{"small.txt", NSStringExpand::sha1HexDigest("changed on A while B was down")},
                       {"离线.txt", NSStringExpand::sha1HexDigest("written on B while it was down")},
                       {"下载.bin", last}};
  EXPECT_TRUE(converged(expected)) << describe();
  // The record of the finished download goes with it; one of content no
  // longer wanted goes with the cache's cleaning while the client is idle.
  EXPECT_TRUE(waitFor([&] { return leftIn("b", record).empty(); }, c.replaced ? 180 : 60)) << joined(leftIn("b", record));
  EXPECT_EQ(deletions(), std::vector<std::string>{});
  EXPECT_EQ(a_->stop(SIGTERM), 0) << a_->output();
  EXPECT_EQ(b_->stop(SIGTERM), 0) << b_->output();
}

INSTANTIATE_TEST_SUITE_P(Kill, QuorvaKillDownloadTest,
                         ::testing::Values(DownloadKill{"AmongTheBlocks", false, false},
                                           DownloadKill{"AmongTheBlocksThenReplaced", false, true},
                                           DownloadKill{"InThePlacement", true, false}),
                         [](const ::testing::TestParamInfo<DownloadKill>& info) { return std::string(info.param.name); });

}  // namespace
