#include "platform/ipc/single_instance.h"

namespace plat {

namespace {
constexpr double kAnswerSeconds = 10;
// The launcher writes its line at once; a silent client is dropped.
constexpr double kLineSeconds = 2;
}  // namespace

std::string SingleInstance::socketPath(const std::string& name) {
  std::string dir = userRuntimeDirectory(name);
  return dir.empty() ? dir : dir + "/" + name + ".sock";
}

std::optional<std::string> SingleInstance::send(const std::string& name, const std::string& line) {
  std::string path = socketPath(name);
  if (path.empty()) return std::nullopt;
  auto c = LocalConnection::connect(path);
  if (!c || !c->sendLine(line)) return std::nullopt;
  return c->readLine(kMaxLine, kAnswerSeconds);
}

std::unique_ptr<SingleInstance> SingleInstance::listen(const std::string& name, Handler handler, Error* error) {
  std::string path = socketPath(name);
  if (path.empty()) {
    setError(error, Error::withDescription(name, 1, "no private runtime folder"));
    return nullptr;
  }
  auto l = LocalListener::listen(path, error);
  if (!l) return nullptr;
  std::unique_ptr<SingleInstance> s(new SingleInstance(std::move(l), std::move(handler)));
  SingleInstance* self = s.get();
  s->source_ = RunLoop::main()->addFd(s->listener_->fd(), RunLoop::kReadable, [self](uint32_t) { self->acceptPending(); });
  return s;
}

SingleInstance::~SingleInstance() {
  if (source_) RunLoop::main()->remove(source_);
}

void SingleInstance::acceptPending() {
  while (auto c = listener_->accept()) {
    auto line = c->readLine(kMaxLine, kLineSeconds);
    if (!line) continue;
    c->sendLine(handler_(*line));
  }
}

}  // namespace plat
