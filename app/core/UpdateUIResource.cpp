#include "app/core/UpdateUIResource.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCNetworkQueue.h"
#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AppServices.h"
#include "app/core/ServiceHosts.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/user_defaults.h"

namespace {

constexpr double kSince1970To2001 = 978307200.0;

std::string configFolder() {
  auto ud = Util::getAppDelegate().userdata();
  return ud ? ud->configPath() : plat::homeDirectory() + "/.quorvacfg";
}

std::optional<std::string> headerValue(const plat::Dictionary& headers, const char* name) {
  for (const auto& [k, v] : headers) {
    if (::strcasecmp(k.c_str(), name) == 0 && v.isString()) return v.string();
  }
  return std::nullopt;
}

}  // namespace

// What one request's blocks share. Main thread only, after the request began.
struct UpdateUIResource::Download {
  std::string name;
  std::string path;  // "<config>/UI/Temp/<name>.zip"
  std::string part;  // where the body grows
  int fd = -1;
  uint32_t count = 0;  // body bytes received
  bool accepted = false;  // a 200 reply, the only kind whose body is a package
  bool tooLarge = false;
  std::optional<std::string> signature;
  std::weak_ptr<HCHTTPRequest> request;

  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

UpdateUIResource::UpdateUIResource() {
  if (!networkQueue) {
    networkQueue = std::make_shared<HCNetworkQueue>();
    networkQueue->reset();
    // Packages of different names are independent: one failing stops no other.
    networkQueue->setShouldCancelAllRequestsOnFailure(false);
    networkQueue->setDelegate(this);
  }
}

UpdateUIResource::~UpdateUIResource() {
  if (networkQueue) {
    networkQueue->setDelegate(nullptr);
    networkQueue->cancelAllOperations();
  }
}

std::shared_ptr<UpdateUIResource> UpdateUIResource::initUpdateUIResourceFileName(const std::string& name) {
  auto u = std::make_shared<UpdateUIResource>();
  u->updateUIResourceFileName(name);
  return u;
}

std::string UpdateUIResource::requestURL(const std::string& name) {
  AppServices& app = Util::getAppDelegate();
  const double t =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - kSince1970To2001;
  const std::string stored = plat::UserDefaults::standard().stringForKey(name + "quorva");
  const std::string key = stored.empty() ? "(null)" : stored;
  auto ud = app.userdata();
  const std::string token = ud ? ud->userToken() : std::string();
  return plat::format("%@://%@", app.bHttps() ? "https" : "http", ServiceHosts::updateService()) +
         plat::format("/interface/check_%@_update?token=%@&key=%@&t=%f&clientid=%@&n=windows&v=%@", name, token, key,
                      t, UserData::kClientId, app.appversion());
}

size_t UpdateUIResource::running() const {
  std::lock_guard<std::mutex> l(asking_->mutex);
  return asking_->names.size();
}

void UpdateUIResource::updateUIResourceFileName(const std::string& name) {
  {
    std::lock_guard<std::mutex> l(asking_->mutex);
    if (!asking_->names.insert(name).second) return;  // its reply would write the same file
  }
  const std::string config = configFolder();
  const std::string temp = plat::format("%@/UI/Temp", config);
  Util::createfolder(temp);
  auto d = std::make_shared<Download>();
  d->name = name;
  d->path = plat::format("%@/%@", temp, name + ".zip");
  d->part = d->path + ".part";
  // The reply replaces whatever waits: a package and its signature go together.
  Util::deletefile(d->path);
  Util::deletefile(d->path + ".sig");
  d->fd = ::open(d->part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  auto request = HCHTTPRequest::requestWithURL(requestURL(name));
  if (d->fd < 0 || !request) {
    d->close();
    Util::deletefile(d->part);
    std::lock_guard<std::mutex> l(asking_->mutex);
    asking_->names.erase(name);
    return;
  }
  d->request = request;
  request->setHeadersReceivedBlock([d](const plat::Dictionary& headers) {
    auto r = d->request.lock();
    d->accepted = r && r->responseStatusCode() == 200;
    d->signature = headerValue(headers, kSignatureHeader);
  });
  request->setDataReceivedBlock([d](const plat::Data& data) {
    if (!d->accepted || d->tooLarge || d->fd < 0) return;
    if (d->count + data.size() > kMaxPackageSize) {
      d->tooLarge = true;
      if (auto r = d->request.lock()) r->cancel();
      return;
    }
    if (!plat::writeAll(d->fd, data.data(), data.size())) {
      d->tooLarge = true;  // the disk refused: what we have is no package
      if (auto r = d->request.lock()) r->cancel();
      return;
    }
    d->count += static_cast<uint32_t>(data.size());
  });
  request->setCompletionBlock([a = asking_, d] { finished(*a, d, true); });
  request->setFailedBlock([a = asking_, d] { finished(*a, d, false); });
  networkQueue->addOperation(request);
  networkQueue->go();
}

void UpdateUIResource::finished(Asking& asking, const std::shared_ptr<Download>& d, bool ok) {
  const bool whole = ok && d->accepted && !d->tooLarge && d->count > 0 && d->fd >= 0 && ::fsync(d->fd) == 0;
  d->close();
  if (whole) {
    // The signature first: a package never waits without the one it came with.
    auto sig = d->signature ? NSDataExpand::base64Decoded(*d->signature) : std::nullopt;
    if (sig) plat::atomicWrite(d->path + ".sig", std::string_view(reinterpret_cast<const char*>(sig->data()), sig->size()), 0600);
    if (::rename(d->part.c_str(), d->path.c_str()) != 0) Util::deletefile(d->part);
  } else {
    if (d->tooLarge) plat::log("UI package %@ is larger than we keep; not kept", d->name);
    Util::deletefile(d->part);
  }
  std::lock_guard<std::mutex> l(asking.mutex);
  asking.names.erase(d->name);
}
