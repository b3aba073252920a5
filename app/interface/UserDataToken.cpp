// The token renewal of UserData. It lives beside the service calls because
// it sends one; the rest of UserData knows nothing of the service.
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"

void UserData::regettoken() {
  RetToken ret;
  {
    uint64_t seen = renewals_.load();
    std::lock_guard<std::mutex> l(renewMutex_);
    // Another thread renewed while this one waited: that outcome stands, and
    // a second request would only spend the refresh token it just received.
    if (renewals_.load() != seen) return;
    ret = HTTPEngine::refreshtoken(refreshToken(), getinfo(), getdevice().value_or(""));
    // A 200 without an access token would sign every later call with nothing:
    // keep the old token then.
    if (ret.status == 200 && !ret.accessToken.empty()) {
      setTokens(ret.accessToken, ret.refreshToken, ret.expires);
    }
    renewals_.fetch_add(1);
  }
  if (ret.status == 200 || ret.error == 0) return;

  plat::log("UserData: token renewal refused (%ld)", static_cast<long>(ret.status));
  AppServices& app = Util::getAppDelegate();
  // Outside the renewal lock: the main thread may itself be waiting for a
  // renewal.
  plat::MainThread::performAndWait([&app] { app.onLogout(); });
  std::string name = userName();
  std::string password = userPassword();
  std::string message = Util::getChangeTokenError(ret.errormsg.value_or(""));
  bool hasAt = name.find('@') != std::string::npos;
  const char* mode = nullptr;
  if (!name.empty() && hasAt && !password.empty()) mode = "login";
  else if (!name.empty() && !hasAt && password.empty()) mode = "weblogin";
  if (mode == nullptr) return;
  plat::Array result{plat::Value(mode), plat::Value(102), plat::Value(message)};
  plat::MainThread::performAndWait([&app, &result] { app.onOpenMainThreadWebWindowResult(result); });
}
