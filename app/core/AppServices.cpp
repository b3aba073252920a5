#include "app/core/AppServices.h"

#include "app/core/UserData.h"
#include "platform/foundation/error.h"
#include "platform/foundation/log.h"
#include "platform/ui/toolkit.h"

namespace {
std::atomic<AppServices*> gShared{nullptr};
}  // namespace

AppServices::AppServices() = default;
AppServices::~AppServices() = default;

AppServices& AppServices::shared() {
  if (AppServices* app = gShared.load(std::memory_order_acquire)) return *app;
  // No shell made the object: the engines alone, in a runner or a test.
  static AppServices plain;
  AppServices* expected = nullptr;
  gShared.compare_exchange_strong(expected, &plain, std::memory_order_acq_rel);
  return *gShared.load(std::memory_order_acquire);
}

void AppServices::install(AppServices& app) {
  AppServices* expected = nullptr;
  if (!gShared.compare_exchange_strong(expected, &app, std::memory_order_acq_rel) && expected != &app) {
    throw plat::Exception(plat::kInternalInconsistencyException, "the application object was handed out before");
  }
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

std::shared_ptr<UserData> AppServices::userdata() const { return get(mutex_, userdata_); }
void AppServices::setUserdata(std::shared_ptr<UserData> v) { put(mutex_, userdata_, std::move(v)); }
std::shared_ptr<SettingsDb> AppServices::settingsdb() const { return get(mutex_, settingsdb_); }
void AppServices::setSettingsdb(std::shared_ptr<SettingsDb> v) { put(mutex_, settingsdb_, std::move(v)); }
std::shared_ptr<LastSyncdb> AppServices::lastsyncdb() const { return get(mutex_, lastsyncdb_); }
void AppServices::setLastsyncdb(std::shared_ptr<LastSyncdb> v) { put(mutex_, lastsyncdb_, std::move(v)); }
std::shared_ptr<SyncManager> AppServices::sync() const { return get(mutex_, sync_); }
void AppServices::setSync(std::shared_ptr<SyncManager> v) { put(mutex_, sync_, std::move(v)); }
std::shared_ptr<TransManager> AppServices::trans() const { return get(mutex_, trans_); }
void AppServices::setTrans(std::shared_ptr<TransManager> v) { put(mutex_, trans_, std::move(v)); }
std::shared_ptr<HttpThread> AppServices::httpthread() const { return get(mutex_, httpthread_); }
std::shared_ptr<plat::OperationQueue> AppServices::taskqueue() const { return get(mutex_, taskqueue_); }

void AppServices::setUpdateCount(int64_t v) {
  updateCount_.store(v);
  std::function<void()> observer;
  {
    std::lock_guard<std::mutex> l(mutex_);
    observer = updateCountObserver_;
  }
  if (observer) observer();
}

void AppServices::setUpdateCountObserver(std::function<void()> observer) {
  std::lock_guard<std::mutex> l(mutex_);
  updateCountObserver_ = std::move(observer);
}

std::string AppServices::appversion() const {
  std::lock_guard<std::mutex> l(mutex_);
  return appversion_;
}
void AppServices::setAppversion(std::string v) { put(mutex_, appversion_, std::move(v)); }

std::optional<std::string> AppServices::servertime() const {
  std::lock_guard<std::mutex> l(mutex_);
  return servertime_;
}
void AppServices::setServertime(std::optional<std::string> v) { put(mutex_, servertime_, std::move(v)); }

std::string AppServices::tempsyncpath() const {
  std::lock_guard<std::mutex> l(mutex_);
  return tempsyncpath_;
}
void AppServices::setTempsyncpath(std::string v) { put(mutex_, tempsyncpath_, std::move(v)); }

std::string AppServices::jsonMsg() const {
  std::lock_guard<std::mutex> l(mutex_);
  return jsonMsg_;
}
void AppServices::setJsonMsg(std::string v) { put(mutex_, jsonMsg_, std::move(v)); }

std::string AppServices::oldSelectWebpath() const {
  std::lock_guard<std::mutex> l(mutex_);
  return oldSelectWebpath_;
}
void AppServices::setOldSelectWebpath(std::string v) { put(mutex_, oldSelectWebpath_, std::move(v)); }

std::function<void()> AppServices::callBackChangeSyncClicked() const {
  std::lock_guard<std::mutex> l(mutex_);
  return callBackChangeSyncClicked_;
}
void AppServices::setCallBackChangeSyncClicked(std::function<void()> f) {
  put(mutex_, callBackChangeSyncClicked_, std::move(f));
}

void AppServices::onLogout() {
  setBLogin(false);
  setBAuto(false);
  EngineStop stop;
  {
    std::lock_guard<std::mutex> l(mutex_);
    stop = engineStop_;
  }
  if (stop) stop();
}

void AppServices::setEngineStop(EngineStop stop) { put(mutex_, engineStop_, std::move(stop)); }

void AppServices::onOpenMainThreadWebWindowResult(const plat::Array& result) {
  LoginWindowOpener opener;
  {
    std::lock_guard<std::mutex> l(mutex_);
    lastLoginWindowResult_ = result;
    opener = loginWindowOpener_;
  }
  if (opener) opener(result);
}

void AppServices::setLoginWindowOpener(LoginWindowOpener opener) { put(mutex_, loginWindowOpener_, std::move(opener)); }

plat::Array AppServices::lastLoginWindowResult() const {
  std::lock_guard<std::mutex> l(mutex_);
  return lastLoginWindowResult_;
}

void AppServices::notice(const std::string& description) {
  auto toolkit = plat::Toolkit::current();
  auto bridge = toolkit ? toolkit->notices() : nullptr;
  if (!bridge) return;
  plat::Notice n;
  n.description = description;
  bridge->notify(n);
}
