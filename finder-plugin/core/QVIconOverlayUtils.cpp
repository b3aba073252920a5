#include "finder-plugin/core/QVIconOverlayUtils.h"

#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"
#include "platform/ipc/named_connection.h"
#include "platform/system/launcher.h"

namespace finder {
namespace {
std::mutex gSharedMutex;
std::unique_ptr<QVIconOverlayUtils> gShared;
}  // namespace

QVIconOverlayUtils& QVIconOverlayUtils::sharedInstance() {
  std::lock_guard<std::mutex> l(gSharedMutex);
  if (!gShared) {
    gShared = std::make_unique<QVIconOverlayUtils>();
    gShared->start();
  }
  return *gShared;
}

void QVIconOverlayUtils::shutdownShared() {
  std::lock_guard<std::mutex> l(gSharedMutex);
  if (gShared) gShared->stop();
}

QVIconOverlayUtils::QVIconOverlayUtils() = default;
QVIconOverlayUtils::~QVIconOverlayUtils() { stop(); }

void QVIconOverlayUtils::start() {
  std::lock_guard<std::mutex> l(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = plat::startThread("com.quorva.finder.link", [this] { run(); });
}

void QVIconOverlayUtils::stop() {
  {
    std::lock_guard<std::mutex> l(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  syncdb_.close();
}

void QVIconOverlayUtils::setOnChange(std::function<void()> f) {
  std::lock_guard<std::mutex> l(mutex_);
  onChange_ = std::move(f);
}

void QVIconOverlayUtils::changed() {
  std::function<void()> f;
  {
    std::lock_guard<std::mutex> l(mutex_);
    f = onChange_;
  }
  if (f) plat::runGuarded("plug-in change", f);
}

void QVIconOverlayUtils::run() {
  // The first poll comes about two seconds after the start, then every two
  // to three seconds; the sleep is real time: the other process's pace.
  auto t = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> l(mutex_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (now - t > std::chrono::duration<double>(kPollSeconds)) {
      l.unlock();
      plat::runGuarded("plug-in poll", [this] { linkclient(); });
      l.lock();
      t = std::chrono::steady_clock::now();
    }
    cv_.wait_for(l, std::chrono::seconds(1), [this] { return stopping_; });
  }
}

void QVIconOverlayUtils::linkclient() {
  auto proxy = plat::RemoteProxy::lookup(kConnectionName);
  if (syncdb_.bStart()) {
    if (!proxy) {
      syncdb_.close();
      changed();
      return;
    }
    auto reset = proxy->call("getReset", {}, kCallSeconds);
    if (!reset) {
      // The main application stopped answering in the middle: next poll.
      return;
    }
    if (!reset->boolValue()) return;
    syncdb_.close();
    load(proxy.get());
    changed();
    return;
  }
  if (!proxy) return;
  load(proxy.get());
  if (syncdb_.bStart()) changed();
}

void QVIconOverlayUtils::load(void* p) {
  auto* proxy = static_cast<plat::RemoteProxy*>(p);
  auto syncpath = proxy->call("getSyncPath", {}, kCallSeconds);
  auto dbpath = proxy->call("getDbPath", {}, kCallSeconds);
  auto mountname = proxy->call("getMountname", {}, kCallSeconds);
  auto orgid = proxy->call("getOrgID", {}, kCallSeconds);
  if (!syncpath || !dbpath || !mountname || !orgid) return;
  if (!syncpath->isString() || !dbpath->isString() || syncpath->string().empty() || dbpath->string().empty()) return;
  if (syncdb_.setpath(dbpath->string(), syncpath->string(), mountname->isString() ? mountname->string() : "",
                      orgid->longLongValue())) {
    ++loads_;
  }
}

int QVIconOverlayUtils::getstatus(const std::string& path) {
  if (!syncdb_.bStart()) return 0;
  const int state = syncdb_.getstatus(path, true);
  if (state != 0) syncdb_.addHistory(path);
  return state;
}

void QVIconOverlayUtils::forward(const std::string& method, const plat::Array& args) {
  // Dropped without a message when the main application does not serve.
  if (auto proxy = plat::RemoteProxy::lookup(kConnectionName)) proxy->call(method, args, kCallSeconds);
}

void QVIconOverlayUtils::menuclick(int64_t index, const std::string& path) {
  forward("menuclick", {plat::Value(static_cast<long long>(index)), plat::Value(path)});
}

void QVIconOverlayUtils::menusyncnow(const std::string& path) { forward("menusyncnow", {plat::Value(path)}); }

void QVIconOverlayUtils::menumklink(const std::string& path) { forward("menumklink", {plat::Value(path)}); }

void QVIconOverlayUtils::finderselect(const std::string& path) { forward("finderselect", {plat::Value(path)}); }

void QVIconOverlayUtils::menuhistory(int64_t index) {
  const auto history = syncdb_.gethistory();
  if (index < 0 || index >= static_cast<int64_t>(history.size())) return;
  plat::launcher()->openURL(history[static_cast<size_t>(index)]);
}

}  // namespace finder
