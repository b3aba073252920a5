#include "platform/net/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/foundation/clock.h"
#include "platform/foundation/thread.h"
#include "platform/net/http_read_stream.h"

namespace plat {

Connection::Connection(int fd, std::string key) : fd_(fd), key_(std::move(key)) {
  auto& r = ConnectionRegistry::shared();
  std::lock_guard lock(r.mutex_);
  serial_ = ++r.nextSerial_;
  ++r.stats_.opened;
}

Connection::~Connection() {
  tls_.reset();
  if (fd_ >= 0) ::close(fd_);
}

static Error posixError(int err) { return Error::withDescription(kPOSIXErrorDomain, err, strerror(err)); }

Connection::IO Connection::read(char* buffer, size_t size, size_t& moved, Error* error) {
  moved = 0;
  if (tls_) return static_cast<IO>(tls_->read(buffer, size, moved, error));
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n > 0) {
      moved = static_cast<size_t>(n);
      return IO::Done;
    }
    if (n == 0) return IO::Closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IO::WantRead;
    setError(error, posixError(errno));
    return IO::Failed;
  }
}

Connection::IO Connection::write(const char* buffer, size_t size, size_t& moved, Error* error) {
  moved = 0;
  if (tls_) return static_cast<IO>(tls_->write(buffer, size, moved, error));
  for (;;) {
    ssize_t n = ::send(fd_, buffer, size, MSG_NOSIGNAL);
    if (n >= 0) {
      moved = static_cast<size_t>(n);
      return IO::Done;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IO::WantWrite;
    setError(error, posixError(errno));
    return IO::Failed;
  }
}

bool Connection::hasPendingBytes() const { return tls_ && tls_->hasPendingBytes(); }

bool Connection::isAliveForReuse() {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return false;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  if (!(p.revents & POLLIN)) return true;
  if (!tls_) return false;  // an end of file, or bytes nobody asked for
  // TLS may have sent records of its own (session tickets) that are no
  // application data; anything else means the connection is spent.
  char byte;
  size_t moved = 0;
  auto io = tls_->read(&byte, 1, moved, nullptr);
  return io == TLSSession::IO::WantRead && !tls_->hasPendingBytes();
}

ConnectionRegistry& ConnectionRegistry::shared() {
  static ConnectionRegistry* registry = new ConnectionRegistry();  // lives as long as the process
  return *registry;
}

void ConnectionRegistry::expireLocked(double now) {
  for (auto it = idle_.begin(); it != idle_.end();) {
    if (it->second->idleDeadline <= now)
      it = idle_.erase(it);
    else
      ++it;
  }
}

std::unique_ptr<Connection> ConnectionRegistry::takeIdle(const std::string& key) {
  std::vector<std::unique_ptr<Connection>> dead;  // closed outside the lock
  std::unique_ptr<Connection> found;
  {
    std::lock_guard lock(mutex_);
    expireLocked(currentClock().monotonic());
    // The most recently used first: it is the likeliest to be alive.
    for (;;) {
      auto range = idle_.equal_range(key);
      if (range.first == range.second) break;
      auto it = std::prev(range.second);
      std::unique_ptr<Connection> c = std::move(it->second);
      idle_.erase(it);
      if (c->isAliveForReuse()) {
        ++stats_.reused;
        found = std::move(c);
        break;
      }
      ++stats_.stale;
      dead.push_back(std::move(c));
    }
  }
  return found;
}

void ConnectionRegistry::putIdle(std::unique_ptr<Connection> connection, double idleSeconds) {
  if (!connection || idleSeconds <= 0) return;
  std::unique_ptr<Connection> extra;
  std::lock_guard lock(mutex_);
  double now = currentClock().monotonic();
  expireLocked(now);
  connection->idleDeadline = now + idleSeconds;
  std::string key = connection->key();
  if (idle_.count(key) >= kMaxIdlePerKey) {
    auto oldest = idle_.find(key);
    extra = std::move(oldest->second);
    idle_.erase(oldest);
  }
  idle_.emplace(std::move(key), std::move(connection));
}

void ConnectionRegistry::closeAllIdle() {
  std::multimap<std::string, std::unique_ptr<Connection>> gone;
  std::lock_guard lock(mutex_);
  gone.swap(idle_);
}

size_t ConnectionRegistry::closeIdleWithKeySuffix(const std::string& suffix) {
  std::vector<std::unique_ptr<Connection>> gone;  // closed outside the lock
  std::lock_guard lock(mutex_);
  for (auto it = idle_.begin(); it != idle_.end();) {
    if (it->first.size() >= suffix.size() && it->first.compare(it->first.size() - suffix.size(), suffix.size(), suffix) == 0) {
      gone.push_back(std::move(it->second));
      it = idle_.erase(it);
    } else {
      ++it;
    }
  }
  return gone.size();
}

ConnectionRegistry::Stats ConnectionRegistry::stats() const {
  std::lock_guard lock(mutex_);
  Stats s = stats_;
  s.idle = idle_.size();
  return s;
}

namespace {

// A few threads for getaddrinfo, started on first use; joined at exit.
// Threads of our own: glibc's getaddrinfo_a starts its helpers where no
// sanitizer sees them.
class ResolverPool {
public:
  using Job = std::function<void()>;
  ResolverPool(const char* name, int threads) : name_(name), width_(threads) {}
  // For connections.
  static ResolverPool& shared() {
    static ResolverPool pool("plat.net.resolver", 2);
    return pool;
  }
  // For the look-ups of scripts: a slow name there holds up no connection.
  static ResolverPool& forScripts() {
    static ResolverPool pool("plat.net.resolver4", 4);
    return pool;
  }
  void post(Job job) {
    std::lock_guard lock(mutex_);
    if (threads_.empty())
      for (int i = 0; i < width_; ++i) threads_.push_back(startThread(name_, [this] { run(); }));
    jobs_.push_back(std::move(job));
    cv_.notify_one();
  }
  ~ResolverPool() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
  }

private:
  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      runGuarded("host lookup", job);
    }
  }
  const char* name_;
  int width_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> jobs_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

Error hostError(const std::string& host, int code, long gai) {
  Dictionary info{{kLocalizedDescriptionKey, Value("The host " + host + " could not be found")},
                  {"kCFGetAddrInfoFailureKey", Value(gai)}};
  return Error(kCFErrorDomainCFNetwork, code, info);
}

std::vector<ResolvedAddress> lookup(const std::string& host, int port, int flags, int& gai, int family = AF_UNSPEC) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  // Names only give address families this machine has; a literal is taken as
  // written, and a family asked for by name is looked up as asked.
  hints.ai_flags = flags | ((flags & AI_NUMERICHOST) || family != AF_UNSPEC ? 0 : AI_ADDRCONFIG);
  addrinfo* res = nullptr;
  gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
  std::vector<ResolvedAddress> out;
  if (gai != 0) return out;
  for (addrinfo* a = res; a; a = a->ai_next) {
    ResolvedAddress r;
    memcpy(&r.address, a->ai_addr, a->ai_addrlen);
    r.length = a->ai_addrlen;
    out.push_back(r);
  }
  freeaddrinfo(res);
  return out;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && strcasecmp(s.c_str() + s.size() - tail.size(), tail.c_str()) == 0;
}

bool isReservedName(const std::string& host) { return host.empty() || host == "invalid" || endsWith(host, ".invalid"); }

}  // namespace

void resolveHost(const std::string& host, int port,
                 std::function<void(std::vector<ResolvedAddress>, std::optional<Error>)> done) {
  unsigned char buf[16];
  if (inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1) {
    int gai = 0;
    auto addrs = lookup(host, port, AI_NUMERICHOST, gai);
    if (addrs.empty()) return done({}, hostError(host, kCFHostErrorUnknown, gai));
    return done(std::move(addrs), std::nullopt);
  }
  // Reserved never to resolve (RFC 6761): no query leaves the machine.
  if (isReservedName(host)) return done({}, hostError(host, kCFHostErrorHostNotFound, EAI_NONAME));
  ResolverPool::shared().post([host, port, done = std::move(done)] {
    int gai = 0;
    auto addrs = lookup(host, port, 0, gai);
    if (addrs.empty())
      done({}, hostError(host, gai == EAI_NONAME ? kCFHostErrorHostNotFound : kCFHostErrorUnknown, gai));
    else
      done(std::move(addrs), std::nullopt);
  });
}

void resolveIPv4(const std::string& host, std::function<void(std::optional<std::string>)> done) {
  if (isReservedName(host)) return done(std::nullopt);
  ResolverPool::forScripts().post([host, done = std::move(done)] {
    int gai = 0;
    std::optional<std::string> text;
    for (const auto& a : lookup(host, 0, 0, gai, AF_INET)) {
      char buf[INET_ADDRSTRLEN];
      const auto* sin = reinterpret_cast<const sockaddr_in*>(&a.address);
      if (inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) {
        text = buf;
        break;
      }
    }
    done(std::move(text));
  });
}

}  // namespace plat
