// Two Quorva clients of one account on a network of their own: two network
// namespaces that this test makes, joined by a veth pair (root only; the
// test is skipped elsewhere). devcloud runs in the first namespace and
// refuses the second client every content download, so what the second
// client gets it gets from the first one's file service after discovery:
// a file the first holds whole, one the first is itself halfway through
// (a partial reply with its bitmap), and, with the refusal lifted, a large
// file whose peer is killed in the middle (the download goes on from the
// service). In-process, sockets made inside the namespaces show what goes
// on the wire: one query per address, and none at all with the switch off.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/Util.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/lan/LanWire.h"
#include "app/trans/lan/LocalUdpSocket.h"
#include "app/trans/lan/lan_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "platform/net/lan_socket.h"
#include "tests/support/child_process.h"

namespace {

// A program run with its output read line by line.
class Child {
public:
  Child(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = testsupport::spawnChild(program, args, env, out[1]);
    ::close(out[1]);
    fd_ = out[0];
    reader_ = std::thread([this] { read(); });
  }
  ~Child() {
    kill(SIGKILL);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  void kill(int sig) {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, sig);
      ::waitpid(pid_, nullptr, 0);
      reaped_ = true;
    }
  }
  std::optional<std::string> line(const std::string& part, double seconds) {
    std::unique_lock<std::mutex> l(m_);
    std::optional<std::string> found;
    cv_.wait_for(l, std::chrono::duration<double>(seconds), [&] {
      for (const auto& s : lines_)
        if (s.find(part) != std::string::npos) {
          found = s;
          return true;
        }
      return ended_;
    });
    return found;
  }
  std::string output() {
    std::lock_guard<std::mutex> l(m_);
    std::string all;
    // The tail is what tells why a step failed.
    for (size_t i = lines_.size() > 200 ? lines_.size() - 200 : 0; i < lines_.size(); ++i) all += lines_[i] + "\n";
    return all;
  }

private:
  void read() {
    std::string pending;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      size_t at;
      while ((at = pending.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> l(m_);
        lines_.push_back(pending.substr(0, at));
        pending.erase(0, at + 1);
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> l(m_);
    ended_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int fd_ = -1;
  std::thread reader_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Two namespaces "a" and "b" joined by a veth pair, 10.X.Y.1 and 10.X.Y.2,
// each with its default route on the pair so that broadcasts go out on it.
class Network {
public:
  Network() {
    const int id = static_cast<int>(::getpid());
    suffix_ = std::to_string(id);
    subnet_ = "10.213." + std::to_string(id % 250) + ".";
    names_ = {"qvla" + suffix_, "qvlb" + suffix_};
    if (::geteuid() != 0) {
      why_ = "needs root to make network namespaces (ip netns)";
      return;
    }
    const std::string va = "qva" + suffix_, vb = "qvb" + suffix_;
    bool ok = run("ip netns add " + names_[0]) == 0 && run("ip netns add " + names_[1]) == 0 &&
              run("ip link add " + va + " type veth peer name " + vb) == 0 &&
              run("ip link set " + va + " netns " + names_[0]) == 0 &&
              run("ip link set " + vb + " netns " + names_[1]) == 0;
    for (int i = 0; ok && i < 2; ++i) {
      const std::string in = "ip -n " + names_[i] + " ", dev = i == 0 ? va : vb;
      ok = run(in + "link set lo up") == 0 &&
           run(in + "addr add " + address(i) + "/24 broadcast " + subnet_ + "255 dev " + dev) == 0 &&
           run(in + "link set " + dev + " up") == 0 && run(in + "route add default dev " + dev) == 0;
    }
    if (!ok) why_ = "could not make the namespaces and their veth pair (ip netns, ip link)";
  }
  ~Network() {
    for (const auto& n : names_) run("ip netns del " + n);
  }
  const std::string& why() const { return why_; }
  std::string address(int side) const { return subnet_ + std::to_string(side + 1); }
  const std::string& name(int side) const { return names_[static_cast<size_t>(side)]; }
  // The veth end of side `side`, as named inside its namespace.
  std::string device(int side) const { return (side == 0 ? "qva" : "qvb") + suffix_; }
  // Runs fn on a thread that has entered the namespace (sockets made there
  // stay there), and waits.
  void inside(int side, const std::function<void()>& fn) const {
    std::thread t([&] {
      const int fd = ::open(("/var/run/netns/" + name(side)).c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::setns(fd, CLONE_NEWNET), 0);
      ::close(fd);
      fn();
    });
    t.join();
  }

private:
  std::string suffix_, subnet_, why_;
  std::vector<std::string> names_;
};

// A plain HTTP exchange with devcloud's hooks from inside namespace a.
std::string hook(const Network& net, int port, const std::string& method, const std::string& path,
                 const std::string& body) {
  std::string reply;
  net.inside(0, [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, net.address(0).c_str(), &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return;
    }
    lantest::sendAll(fd, method + " /_test/" + path + " HTTP/1.1\r\nHost: " + net.address(0) + ":" +
                             std::to_string(port) + "\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    reply = lantest::readSome(fd, 1 << 20, 30);
    ::close(fd);
  });
  return reply;
}

// The text value of the first field of that name in a JSON reply.
std::string field(const std::string& json, const std::string& name) {
  auto at = json.find("\"" + name + "\"");
  if (at == std::string::npos) return "";
  at = json.find('"', json.find(':', at));
  if (at == std::string::npos) return "";
  return json.substr(at + 1, json.find('"', at + 1) - at - 1);
}

bool waitFor(const std::function<bool()>& done, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// The blocks a download's resume file below root names as here.
int blocksBelow(const std::string& root, const std::string& name) {
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() != name) continue;
    int n = 0;
    for (unsigned char c : plat::readFile(it->path().string()).value_or("")) n += __builtin_popcount(c);
    return n;
  }
  return 0;
}

std::vector<std::string> baseEnv(const std::string& home) {
  return testsupport::childEnvironment({"HOME=" + home, "LANG=C.UTF-8", std::string("PYTHONPATH=") + QV_SOURCE_DIR},
                                       {"PATH", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"});
}

// `ip netns exec <namespace>` before a program.
constexpr const char* kIp = "/usr/sbin/ip";

class LanNetnsTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!net_.why().empty()) GTEST_SKIP() << net_.why();
    cloud_ = std::make_unique<Child>(
        kIp,
        std::vector<std::string>{"netns", "exec", net_.name(0), "python3", "-m", "devcloud", "--data",
                                 dir_.path() + "/cloud", "--port", "0", "--host", net_.address(0), "--test-hooks"},
        baseEnv(dir_.path()));
    auto said = cloud_->line("devcloud listening on ", 30);
    ASSERT_TRUE(said) << cloud_->output();
    port_ = std::stoi(said->substr(said->rfind(':') + 1));
    url_ = "http://" + net_.address(0) + ":" + std::to_string(port_);
    ASSERT_NE(hook(net_, port_, "POST", "user", R"({"username": "lan@quorva.test", "password": "pw"})").find(" 200 "),
              std::string::npos);
  }

  // A generated file on the service: its content hash.
  std::string put(const std::string& path, int64_t size, int seed) {
    const std::string reply =
        hook(net_, port_, "POST", "files",
             R"({"username": "lan@quorva.test", "files": [{"path": ")" + path + R"(", "size": )" +
                 std::to_string(size) + R"(, "seed": )" + std::to_string(seed) + "}]}");
    return field(reply, "filehash");
  }
  void refuseContentTo(int side) {
    hook(net_, port_, "POST", "fault",
         R"({"kind": "error", "path": "/content/", "status": 403, "count": 1000000, "client": ")" +
             net_.address(side) + R"("})");
  }
  std::unique_ptr<Child> client(int side) {
    const std::string s = side == 0 ? "a" : "b";
    return std::make_unique<Child>(
        kIp, std::vector<std::string>{"netns", "exec", net_.name(side), QUORVA_BINARY, "--headless", "--server", url_,
                                 "--user", "lan@quorva.test", "--password", "pw", "--sync-folder",
                                 dir_.path() + "/sync-" + s},
        baseEnv(dir_.path() + "/home-" + s));
  }
  std::string personal(int side) { return dir_.path() + "/sync-" + (side == 0 ? "a" : "b") + "/我的Quorva/个人的文件/"; }
  static bool holds(const std::string& path, const std::string& hash) {
    return Util::existfile(path) && Util::getfilehash(path).value_or("") == hash;
  }

  Network net_;
  synctest::TempDir dir_;
  std::unique_ptr<Child> cloud_;
  int port_ = 0;
  std::string url_;
};

TEST_F(LanNetnsTest, AClientRefusedByTheServiceGetsTheFileFromItsPeerWholeOrHalfway) {
  const std::string whole = put("lan/whole.bin", 6 * 1048576 + 5, 1);
  ASSERT_EQ(whole.size(), 40u) << cloud_->output();
  auto a = client(0);
  ASSERT_TRUE(waitFor([&] { return holds(personal(0) + "lan/whole.bin", whole); }, 120)) << a->output();
  refuseContentTo(1);
  // A's next download stalls on the service after 3 MiB for 20 s: it holds
  // blocks 0-2 meanwhile, and answers B's query with them.
  hook(net_, port_, "POST", "fault",
       R"({"kind": "stall", "path": "/content/", "after": 3145728, "seconds": 20, "client": ")" + net_.address(0) +
           R"("})");
  const std::string half = put("lan/half.bin", 12 * 1048576 + 9, 2);
  ASSERT_TRUE(waitFor([&] { return blocksBelow(dir_.path() + "/home-a", "down_" + half + ".tmp") >= 2; }, 120))
      << a->output();
  auto b = client(1);
  const std::string peer = "http://" + net_.address(0) + ":24753/download?filehash=";
  // B took A as a source of the file A is still fetching: a partial reply.
  EXPECT_TRUE(b->line(peer + half, 60)) << b->output();
  EXPECT_FALSE(holds(personal(0) + "lan/half.bin", half));
  EXPECT_TRUE(waitFor([&] { return holds(personal(1) + "lan/whole.bin", whole); }, 120)) << b->output();
  EXPECT_TRUE(b->line(peer + whole, 1)) << b->output();
  // Blocks 0-2 come from A while its own download stalls; the rest once A
  // has them, B asking again every 10 s.
  EXPECT_TRUE(waitFor([&] { return holds(personal(1) + "lan/half.bin", half); }, 150)) << b->output();
  EXPECT_TRUE(holds(personal(0) + "lan/half.bin", half));
}

TEST_F(LanNetnsTest, APeerKilledMidTransferLeavesTheDownloadToTheService) {
  const std::string big = put("lan/big.bin", 96 * 1048576, 3);
  auto a = client(0);
  ASSERT_TRUE(waitFor([&] { return holds(personal(0) + "lan/big.bin", big); }, 180)) << a->output();
  // A's side of the pair is slowed so that the transfer takes seconds.
  ASSERT_EQ(run("ip netns exec " + net_.name(0) + " tc qdisc add dev " + net_.device(0) +
                " root tbf rate 100mbit burst 64kb latency 50ms"),
            0);
  // B is refused the service until A has served some blocks.
  refuseContentTo(1);
  auto b = client(1);
  // Blocks that can only have come from A.
  ASSERT_TRUE(waitFor([&] { return blocksBelow(dir_.path() + "/home-b", "down_" + big + ".tmp") >= 4; }, 120))
      << b->output();
  a->kill(SIGKILL);
  EXPECT_LT(blocksBelow(dir_.path() + "/home-b", "down_" + big + ".tmp"), 96);
  hook(net_, port_, "DELETE", "faults", "");
  EXPECT_TRUE(waitFor([&] { return holds(personal(1) + "lan/big.bin", big); }, 240)) << b->output();
}

// ---- What goes on the wire, from sockets inside the namespaces ----

TEST_F(LanNetnsTest, OneQueryGoesPerAddressAndNoneWhileTheSwitchIsOff) {
  // Side b listens where side a's queries go: a's own discovery port.
  auto client = std::make_shared<lantest::FolderClient>();
  client->setAddresses({"127.0.0.1", "fe80::1", net_.address(0), "10.0.0.5"});
  const std::string hash = NSDataExpand::sha1HexDigest(std::string("q"));
  std::vector<std::vector<uint8_t>> heard;
  std::mutex m;
  std::condition_variable cv;
  bool listening = false, done = false;
  uint16_t port = 0;
  std::thread listener([&] {
    net_.inside(1, [&] {
      uint16_t p = 0;
      const int fd = plat::udpBind(0, &p);
      {
        std::lock_guard<std::mutex> l(m);
        port = p;
        listening = true;
      }
      cv.notify_all();
      for (;;) {
        pollfd pf{fd, POLLIN, 0};
        if (::poll(&pf, 1, 100) > 0) {
          std::vector<uint8_t> buf(70000);
          const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
          buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
          std::lock_guard<std::mutex> l(m);
          heard.push_back(buf);
          cv.notify_all();
        }
        std::lock_guard<std::mutex> l(m);
        if (done) break;
      }
      ::close(fd);
    });
  });
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return listening; });
  }
  net_.inside(0, [&] {
    auto loop = plat::RunLoop::current();
    LocalUdpSocket udp(client, {}, port);
    ASSERT_TRUE(udp.bCreate());
    ASSERT_EQ(udp.nPort(), port);
    EXPECT_TRUE(udp.checkfilehash(hash));
    client->setSwitch(false);
    EXPECT_FALSE(udp.checkfilehash(hash));
    udp.invalidate();
  });
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, std::chrono::seconds(3), [&] { return heard.size() >= 2; });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::mutex> l(m);
    done = true;
  }
  listener.join();
  ASSERT_EQ(heard.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    lanwire::Datagram q;
    q.kind = lanwire::Kind::kQuery;
    q.hash = hash;
    q.address = i == 0 ? net_.address(0) : "10.0.0.5";
    q.port = port;
    EXPECT_EQ(heard[i], *lanwire::encode(q)) << i;
  }
}

}  // namespace
