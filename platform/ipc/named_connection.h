// The named connection: a service object registered under a name on this
// machine for this user, and the proxies that call it. The name is a
// user-only socket "<runtime folder>/<name>.sock"; a proxy connects anew
// each time it is looked up, sends calls ["method", args...] and reads the
// answers ([] or [result]), each call bounded in time, so a service that
// hangs or quits never holds its caller. The service takes one caller at a
// time; a line that is not a message, or is too long, ends that caller's
// connection without an answer.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/ipc/local_socket.h"
#include "platform/ipc/remote_message.h"

namespace plat {

class NamedConnectionServer {
public:
  // What a call answers: nothing for a method without a result (or one the
  // service does not know), else the result.
  using Handler = std::function<std::optional<Value>(const std::string& method, const Array& args)>;

  static std::string socketPath(const std::string& name);
  // Registers the name and serves it on a thread of its own until stopped.
  // Null with EADDRINUSE when a live service already holds the name.
  static std::unique_ptr<NamedConnectionServer> start(const std::string& name, Handler handler,
                                                      Error* error = nullptr);
  ~NamedConnectionServer();  // stops, joins and unregisters
  NamedConnectionServer(const NamedConnectionServer&) = delete;
  NamedConnectionServer& operator=(const NamedConnectionServer&) = delete;

  void stop();
  const std::string& path() const { return listener_->path(); }
  // Seconds a caller may stay silent before its connection is closed.
  static constexpr double kIdleSeconds = 2.0;

private:
  NamedConnectionServer(std::unique_ptr<LocalListener> l, Handler h);
  void run();
  void serve(LocalConnection& c);

  std::unique_ptr<LocalListener> listener_;
  Handler handler_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class RemoteProxy {
public:
  // The root proxy of the service registered under `name`; null when none
  // serves it now.
  static std::unique_ptr<RemoteProxy> lookup(const std::string& name);
  // One call; nothing when the service did not answer in `timeoutSeconds`,
  // closed the connection or answered with something that is not a message.
  // An answer [] gives a null value; [x] gives x. After a failed call the
  // proxy is dead and every later call fails at once.
  std::optional<Value> call(const std::string& method, const Array& args = {}, double timeoutSeconds = 2.0);
  bool dead() const { return dead_; }

private:
  explicit RemoteProxy(std::unique_ptr<LocalConnection> c) : conn_(std::move(c)) {}
  std::unique_ptr<LocalConnection> conn_;
  bool dead_ = false;
};

}  // namespace plat
