#include "app/AppDelegate.h"

#include "app/UserData.h"
#include "platform/foundation/log.h"

AppDelegate::AppDelegate() = default;

// The shell's terminate() has stopped and joined everything it started; an
// object that was never launched holds no thread of its own.
AppDelegate::~AppDelegate() {
  if (loginThread_.joinable()) loginThread_.join();
  if (stopper_.joinable()) stopper_.join();
}

AppDelegate& AppDelegate::shared() {
  static AppDelegate app;
  return app;
}

namespace {
template <class T>
std::shared_ptr<T> get(std::mutex& m, const std::shared_ptr<T>& p) {
  std::lock_guard<std::mutex> l(m);
  return p;
}
template <class T>
void put(std::mutex& m, T& field, T value) {
  // The old value goes after the lock: its destructor may join threads.
  T old;
  {
    std::lock_guard<std::mutex> l(m);
    old = std::move(field);
    field = std::move(value);
  }
}
}  // namespace

std::shared_ptr<UserData> AppDelegate::userdata() const { return get(mutex_, userdata_); }
void AppDelegate::setUserdata(std::shared_ptr<UserData> v) { put(mutex_, userdata_, std::move(v)); }
std::shared_ptr<SettingsDb> AppDelegate::settingsdb() const { return get(mutex_, settingsdb_); }
void AppDelegate::setSettingsdb(std::shared_ptr<SettingsDb> v) { put(mutex_, settingsdb_, std::move(v)); }
std::shared_ptr<LastSyncdb> AppDelegate::lastsyncdb() const { return get(mutex_, lastsyncdb_); }
void AppDelegate::setLastsyncdb(std::shared_ptr<LastSyncdb> v) { put(mutex_, lastsyncdb_, std::move(v)); }
std::shared_ptr<SyncManager> AppDelegate::sync() const { return get(mutex_, sync_); }
void AppDelegate::setSync(std::shared_ptr<SyncManager> v) { put(mutex_, sync_, std::move(v)); }
std::shared_ptr<TransManager> AppDelegate::trans() const { return get(mutex_, trans_); }
void AppDelegate::setTrans(std::shared_ptr<TransManager> v) { put(mutex_, trans_, std::move(v)); }
std::shared_ptr<HttpThread> AppDelegate::httpthread() const { return get(mutex_, httpthread_); }
std::shared_ptr<plat::OperationQueue> AppDelegate::taskqueue() const { return get(mutex_, taskqueue_); }
std::shared_ptr<MyTimer> AppDelegate::mytimer() const { return get(mutex_, mytimer_); }
std::shared_ptr<ManageStatusController> AppDelegate::manageStatusController() const {
  return get(mutex_, manageStatusController_);
}

void AppDelegate::setUpdateCount(int64_t v) { updateCount_.store(v); }

std::string AppDelegate::appversion() const {
  std::lock_guard<std::mutex> l(mutex_);
  return appversion_;
}
void AppDelegate::setAppversion(std::string v) { put(mutex_, appversion_, std::move(v)); }

std::optional<std::string> AppDelegate::servertime() const {
  std::lock_guard<std::mutex> l(mutex_);
  return servertime_;
}
void AppDelegate::setServertime(std::optional<std::string> v) { put(mutex_, servertime_, std::move(v)); }

std::string AppDelegate::tempsyncpath() const {
  std::lock_guard<std::mutex> l(mutex_);
  return tempsyncpath_;
}
void AppDelegate::setTempsyncpath(std::string v) { put(mutex_, tempsyncpath_, std::move(v)); }

std::string AppDelegate::jsonMsg() const {
  std::lock_guard<std::mutex> l(mutex_);
  return jsonMsg_;
}
void AppDelegate::setJsonMsg(std::string v) { put(mutex_, jsonMsg_, std::move(v)); }

std::string AppDelegate::oldSelectWebpath() const {
  std::lock_guard<std::mutex> l(mutex_);
  return oldSelectWebpath_;
}
void AppDelegate::setOldSelectWebpath(std::string v) { put(mutex_, oldSelectWebpath_, std::move(v)); }

std::function<void()> AppDelegate::callBackChangeSyncClicked() const {
  std::lock_guard<std::mutex> l(mutex_);
  return callBackChangeSyncClicked_;
}
void AppDelegate::setCallBackChangeSyncClicked(std::function<void()> f) {
  put(mutex_, callBackChangeSyncClicked_, std::move(f));
}

void AppDelegate::onLogout() {
  setBLogin(false);
  setBAuto(false);
  EngineStop stop;
  {
    std::lock_guard<std::mutex> l(mutex_);
    stop = engineStop_;
  }
  if (stop) stop();
}

void AppDelegate::setEngineStop(EngineStop stop) { put(mutex_, engineStop_, std::move(stop)); }

void AppDelegate::onOpenMainThreadWebWindowResult(const plat::Array& result) {
  LoginWindowOpener opener;
  {
    std::lock_guard<std::mutex> l(mutex_);
    lastLoginWindowResult_ = result;
    opener = loginWindowOpener_;
  }
  if (opener) opener(result);
}

void AppDelegate::setLoginWindowOpener(LoginWindowOpener opener) { put(mutex_, loginWindowOpener_, std::move(opener)); }

plat::Array AppDelegate::lastLoginWindowResult() const {
  std::lock_guard<std::mutex> l(mutex_);
  return lastLoginWindowResult_;
}
