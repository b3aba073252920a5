// A user-only Unix-domain socket: a listener that one process of the user
// holds at a path, and connections that carry one line per message. Lines
// are bounded on reading, and a listener accepts only peers of its own user.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace plat {

// The per-user folder for sockets: $XDG_RUNTIME_DIR when it is set, owned
// by the user and closed to others; else "/tmp/<prefix>-<uid>", made 0700.
// Empty when neither is usable.
std::string userRuntimeDirectory(const std::string& prefix);

class LocalConnection {
public:
  explicit LocalConnection(int fd) : fd_(fd) {}
  ~LocalConnection();
  LocalConnection(const LocalConnection&) = delete;
  LocalConnection& operator=(const LocalConnection&) = delete;

  // Connects to the listener at `path`; null when nobody listens there.
  static std::unique_ptr<LocalConnection> connect(const std::string& path, Error* error = nullptr);

  // Sends `line` and a line feed; a line holding a line feed is refused.
  bool sendLine(std::string_view line);
  // The next line without its line feed; nothing on end of stream, after
  // `timeoutSeconds` (real time) without a byte, or past `maxBytes`.
  std::optional<std::string> readLine(size_t maxBytes, double timeoutSeconds);

  // The user id of the other end (-1 when unknown).
  uid_t peerUid() const;
  int fd() const { return fd_; }

private:
  int fd_ = -1;
  std::string buffer_;
};

class LocalListener {
public:
  ~LocalListener();  // closes the socket and removes its path
  LocalListener(const LocalListener&) = delete;
  LocalListener& operator=(const LocalListener&) = delete;

  // Listens at `path` with a socket only the user may use (0600). A socket
  // left there by a process that is gone is replaced; when another process
  // answers on it, null with EADDRINUSE. Anything else at the path than a
  // socket is never removed.
  static std::unique_ptr<LocalListener> listen(const std::string& path, Error* error = nullptr);

  // Non-blocking: the next waiting client of our own user, or null. Clients
  // of other users are closed at once.
  std::unique_ptr<LocalConnection> accept();

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

private:
  LocalListener(int fd, std::string path, uint64_t inode) : fd_(fd), path_(std::move(path)), inode_(inode) {}
  int fd_ = -1;
  std::string path_;
  uint64_t inode_ = 0;
};

}  // namespace plat
