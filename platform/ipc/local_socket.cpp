#include "platform/ipc/local_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"

namespace plat {

namespace {

bool fillAddress(const std::string& path, sockaddr_un* addr, Error* error) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    setError(error, posixError(ENAMETOOLONG, "socket", path));
    return false;
  }
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// A folder of our own that nobody else can enter.
bool privateFolder(const std::string& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::string userRuntimeDirectory(const std::string& prefix) {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] == '/' && privateFolder(xdg)) return xdg;
  std::string dir = plat::format("/tmp/%@-%u", prefix, static_cast<unsigned>(::getuid()));
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return privateFolder(dir) ? dir : std::string();
}

// ---- connection ----

LocalConnection::~LocalConnection() {
  if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<LocalConnection> LocalConnection::connect(const std::string& path, Error* error) {
  sockaddr_un addr;
  if (!fillAddress(path, &addr, error)) return nullptr;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    setError(error, posixError(errno, "socket", path));
    return nullptr;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    setError(error, posixError(errno, "connect", path));
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<LocalConnection>(fd);
}

bool LocalConnection::sendLine(std::string_view line) {
  if (line.find('\n') != std::string_view::npos) return false;
  std::string out(line);
  out.push_back('\n');
  size_t sent = 0;
  while (sent < out.size()) {
    ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> LocalConnection::readLine(size_t maxBytes, double timeoutSeconds) {
  while (true) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      if (nl > maxBytes) return std::nullopt;
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (buffer_.size() > maxBytes) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(timeoutSeconds * 1000));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

uid_t LocalConnection::peerUid() const {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return static_cast<uid_t>(-1);
  return cred.uid;
}

// ---- listener ----

LocalListener::~LocalListener() {
  if (fd_ >= 0) ::close(fd_);
  // Only our own socket: a later instance may have replaced it.
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == inode_) ::unlink(path_.c_str());
}

std::unique_ptr<LocalListener> LocalListener::listen(const std::string& path, Error* error) {
  sockaddr_un addr;
  if (!fillAddress(path, &addr, error)) return nullptr;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      setError(error, posixError(EEXIST, "listen", path));
      return nullptr;
    }
    if (LocalConnection::connect(path)) {
      setError(error, posixError(EADDRINUSE, "listen", path));
      return nullptr;
    }
    ::unlink(path.c_str());  // left by a process that is gone
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    setError(error, posixError(errno, "socket", path));
    return nullptr;
  }
  // The socket is made with the user's bits only, never open for a moment.
  mode_t old = ::umask(077);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int bindErr = errno;
  ::umask(old);
  if (rc != 0 || ::listen(fd, 16) != 0) {
    setError(error, posixError(rc != 0 ? bindErr : errno, "listen", path));
    ::close(fd);
    return nullptr;
  }
  ::chmod(path.c_str(), 0600);
  uint64_t inode = ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  return std::unique_ptr<LocalListener>(new LocalListener(fd, path, inode));
}

std::unique_ptr<LocalConnection> LocalListener::accept() {
  while (true) {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return nullptr;
    }
    auto c = std::make_unique<LocalConnection>(fd);
    if (c->peerUid() == ::getuid()) return c;
  }
}

}  // namespace plat
