// One running instance of a program per user. The instance listens on a
// user-only socket "<runtime folder>/<name>.sock"; a later launch hands its
// request over as one line and exits with the instance's one-line answer,
// so what it carries (an address with a token) lives in no long-running
// process's command line.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/run_loop.h"
#include "platform/ipc/local_socket.h"

namespace plat {

class SingleInstance {
public:
  static constexpr size_t kMaxLine = 32768;

  // "<runtime folder>/<name>.sock"; empty when the user has no private
  // runtime folder.
  static std::string socketPath(const std::string& name);
  // Sends one line to the running instance and returns its answer;
  // nothing when no instance answers.
  static std::optional<std::string> send(const std::string& name, const std::string& line);

  // The instance's end: each line is answered with what `handler` returns
  // (on the main run loop). Null when another instance holds the socket (or
  // it can't be made).
  using Handler = std::function<std::string(const std::string& line)>;
  static std::unique_ptr<SingleInstance> listen(const std::string& name, Handler handler, Error* error = nullptr);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  void acceptPending();

private:
  SingleInstance(std::unique_ptr<LocalListener> l, Handler h) : listener_(std::move(l)), handler_(std::move(h)) {}
  std::unique_ptr<LocalListener> listener_;
  Handler handler_;
  RunLoop::SourceId source_ = 0;
};

}  // namespace plat
