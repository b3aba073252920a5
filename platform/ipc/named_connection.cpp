#include "platform/ipc/named_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

namespace plat {

std::string NamedConnectionServer::socketPath(const std::string& name) {
  const std::string dir = userRuntimeDirectory("quorva");
  return dir.empty() ? std::string() : dir + "/" + name + ".sock";
}

std::unique_ptr<NamedConnectionServer> NamedConnectionServer::start(const std::string& name, Handler handler,
                                                                    Error* error) {
  const std::string path = socketPath(name);
  if (path.empty()) {
    if (error) *error = Error("NSPOSIXErrorDomain", ENOENT, {});
    return nullptr;
  }
  auto listener = LocalListener::listen(path, error);
  if (!listener) return nullptr;
  auto server = std::unique_ptr<NamedConnectionServer>(new NamedConnectionServer(std::move(listener), std::move(handler)));
  if (::pipe2(server->wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = Error("NSPOSIXErrorDomain", errno, {});
    return nullptr;
  }
  NamedConnectionServer* self = server.get();
  server->thread_ = startThread("com.quorva.namedconnection", [self] { self->run(); });
  return server;
}

NamedConnectionServer::NamedConnectionServer(std::unique_ptr<LocalListener> l, Handler h)
    : listener_(std::move(l)), handler_(std::move(h)) {}

NamedConnectionServer::~NamedConnectionServer() {
  stop();
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

void NamedConnectionServer::stop() {
  if (!stopping_.exchange(true) && wake_[1] >= 0) {
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
  }
  if (thread_.joinable()) thread_.join();
}

void NamedConnectionServer::run() {
  while (!stopping_.load()) {
    pollfd fds[2] = {{listener_->fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      log("named connection: poll failed (%d)", errno);
      return;
    }
    if (fds[1].revents) return;
    while (auto c = listener_->accept()) {
      runGuarded("named connection call", [&] { serve(*c); });
      if (stopping_.load()) return;
    }
  }
}

void NamedConnectionServer::serve(LocalConnection& c) {
  // One caller at a time: its calls are answered in order until it closes,
  // stays silent too long or sends something that is not a message.
  while (!stopping_.load()) {
    auto line = c.readLine(MessageLimits().maxBytes, kIdleSeconds);
    if (!line) return;
    auto message = decodeMessage(*line);
    if (!message || message->empty() || !(*message)[0].isString()) return;
    const std::string method = (*message)[0].string();
    const Array args(message->begin() + 1, message->end());
    std::optional<Value> result = handler_(method, args);
    Array reply;
    if (result) reply.push_back(std::move(*result));
    auto text = encodeMessage(Value(std::move(reply)));
    if (!text) text = "[]";
    if (!c.sendLine(*text)) return;
  }
}

std::unique_ptr<RemoteProxy> RemoteProxy::lookup(const std::string& name) {
  const std::string path = NamedConnectionServer::socketPath(name);
  if (path.empty()) return nullptr;
  auto c = LocalConnection::connect(path);
  if (!c) return nullptr;
  return std::unique_ptr<RemoteProxy>(new RemoteProxy(std::move(c)));
}

std::optional<Value> RemoteProxy::call(const std::string& method, const Array& args, double timeoutSeconds) {
  if (dead_) return std::nullopt;
  Array message{Value(method)};
  message.insert(message.end(), args.begin(), args.end());
  auto text = encodeMessage(Value(std::move(message)));
  if (!text || !conn_->sendLine(*text)) {
    dead_ = true;
    return std::nullopt;
  }
  auto line = conn_->readLine(MessageLimits().maxBytes, timeoutSeconds);
  auto reply = line ? decodeMessage(*line) : std::nullopt;
  if (!reply || reply->size() > 1) {
    dead_ = true;
    return std::nullopt;
  }
  return reply->empty() ? Value() : (*reply)[0];
}

}  // namespace plat
