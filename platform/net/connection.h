// The sockets under HTTP streams: one Connection (a TCP socket, maybe with
// TLS on it), the process-wide registry of idle persistent connections, and
// host-name resolution off the caller's thread.
//
// The registry hands an idle connection only to a stream whose key is the
// same (scheme, host, port, TLS settings, client identity, proxy and the
// caller's connection id) and only while it is still alive: a socket the
// server closed or wrote to while idle is dropped, not reused.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/net/tls.h"

namespace plat {

class Connection {
public:
  enum class IO { Done, WantRead, WantWrite, Closed, Failed };

  Connection(int fd, std::string key);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  const std::string& key() const { return key_; }
  void setKey(std::string key) { key_ = std::move(key); }
  uint64_t serial() const { return serial_; }
  int requestsServed() const { return served_; }
  void noteRequestServed() { ++served_; }

  void startTLS(std::unique_ptr<TLSSession> tls) { tls_ = std::move(tls); }
  TLSSession* tls() const { return tls_.get(); }

  // Moves bytes; Done with moved > 0, or the state. A reset or a broken pipe
  // comes as Failed with a POSIX error.
  IO read(char* buffer, size_t size, size_t& moved, Error* error);
  IO write(const char* buffer, size_t size, size_t& moved, Error* error);
  bool hasPendingBytes() const;
  // Nothing arrived while idle and the peer has not closed.
  bool isAliveForReuse();

  double idleDeadline = 0;  // monotonic seconds

private:
  int fd_;
  std::string key_;
  uint64_t serial_;
  int served_ = 0;
  std::unique_ptr<TLSSession> tls_;
};

class ConnectionRegistry {
public:
  struct Stats {
    uint64_t opened = 0;  // connections made (every Connection counts)
    uint64_t reused = 0;  // idle connections handed out again
    uint64_t stale = 0;   // idle connections found dead when asked for
    size_t idle = 0;      // waiting now
  };
  static ConnectionRegistry& shared();

  // An idle, alive connection with that key, or null.
  std::unique_ptr<Connection> takeIdle(const std::string& key);
  // Keeps the connection for `idleSeconds`; more than a few per key are closed.
  void putIdle(std::unique_ptr<Connection> connection, double idleSeconds);
  void closeAllIdle();
  // Closes the idle connections whose key ends with `suffix`; how many.
  size_t closeIdleWithKeySuffix(const std::string& suffix);
  Stats stats() const;

  static constexpr size_t kMaxIdlePerKey = 8;

private:
  friend class Connection;
  void expireLocked(double now);
  mutable std::mutex mutex_;
  std::multimap<std::string, std::unique_ptr<Connection>> idle_;
  Stats stats_;
  uint64_t nextSerial_ = 0;
};

struct ResolvedAddress {
  sockaddr_storage address{};
  socklen_t length = 0;
};

// Resolves on a helper thread and calls `done` there, with the addresses or
// an error. Numeric hosts and names under ".invalid" are answered at once on
// the caller's thread without any lookup.
void resolveHost(const std::string& host, int port,
                 std::function<void(std::vector<ResolvedAddress>, std::optional<Error>)> done);

// The first IPv4 address of a name as text, looked up on a helper thread
// apart from those of the connections; `done` runs there. Names under
// ".invalid" get none at once.
void resolveIPv4(const std::string& host, std::function<void(std::optional<std::string>)> done);

}  // namespace plat
