#include "app/shell/AppUpdate.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <thread>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/JSONDecoder/JSONDecoder.h"
#include "Framework/Staticclass/NSDataExpand.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/NotificationCenter.h"
#include "app/core/ServiceHosts.h"
#include "app/core/Util.h"
#include "app/interface/QVHTTPRequest.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"
#include "platform/ui/toolkit.h"

namespace {

// The SHA-256 of a file, read a piece at a time; empty when it can't be read.
std::string sha256OfFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
  std::vector<unsigned char> buffer(1 << 16);
  while (ok) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    ok = EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(n)) == 1;
  }
  ::close(fd);
  unsigned char md[32];
  unsigned int len = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, md, &len) == 1 && len == sizeof md;
  EVP_MD_CTX_free(ctx);
  return ok ? std::string(reinterpret_cast<char*>(md), sizeof md) : std::string();
}

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool isWebAddress(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

int runAlert(const plat::AlertSpec& spec) {
  auto toolkit = plat::Toolkit::current();
  return toolkit ? toolkit->runAlert(spec) : -1;
}

}  // namespace

namespace appupdate {

bool verifyInstaller(const std::string& path, const std::string& sha256, const std::string& signature) {
  const std::string digest = sha256OfFile(path);
  if (digest.empty() || hex(digest) != sha256) return false;
  auto sig = NSDataExpand::base64Decoded(signature);
  return sig && Util::verifyUpdateSignature(digest, std::string_view(reinterpret_cast<const char*>(sig->data()),
                                                                      sig->size()));
}

std::string installerPath(const std::string& configPath, const std::string& serverpath) {
  std::string name = serverpath.substr(0, serverpath.find_first_of("?#"));
  name = name.substr(name.rfind('/') + 1);
  std::string ext = ".dmg";
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot + 1 < name.size() && name.size() - dot <= 11) {
    const std::string e = name.substr(dot);
    bool plain = true;
    for (size_t i = 1; i < e.size(); ++i) plain = plain && std::isalnum(static_cast<unsigned char>(e[i]));
    if (plain) ext = e;
  }
  return plat::format("%@/quorvaupdate%@", configPath, ext);
}

}  // namespace appupdate

// ---- The check ----

std::string GetUpdateXML::checkURL() {
  AppDelegate& app = AppDelegate::shared();
  return std::string(app.bHttps() ? "https://" : "http://") + ServiceHosts::updateService() +
         plat::format("/interface/check_version?n=mac&v=%@", app.appversion());
}

void GetUpdateXML::main() {
  AppDelegate& app = AppDelegate::shared();
  QVHTTPRequest request(checkURL(), "GET", std::nullopt, std::nullopt);
  std::optional<plat::HTTPURLResponse> response;
  auto data = request.connectNetSyncWithResponse(&response);
  // No answer, or an error page: quiet; the next periodic step asks again.
  if (!data || !response || response->statusCode() != 200) return;
  auto value = JDDeserializing::objectFromJSONString(
      std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  const bool offer = value && value->kind() == plat::Value::Kind::Dictionary &&
                     !(*value)["version"].string().empty() && isWebAddress((*value)["path"].string());
  if (!offer) {
    if (_bShow) {
      plat::MainThread::performAndWait([] { runAlert({"", "当前软件已经是最新版本!", {"我知道了"}}); });
    }
    return;
  }
  app.setServersion((*value)["version"].string());
  app.setServerpath((*value)["path"].string());
  app.setServersionsize((*value)["size"].longLongValue());
  app.setServersha256((*value)["sha256"].string());
  app.setServersignature((*value)["signature"].string());
  if (_bShow) {
    plat::MainThread::performAndWait([&app] { app.showupdate(); });
  } else {
    plat::MainThread::performAndWait([&app] { app.showupdatemsg(); });
  }
}

// ---- The download ----

DownloadTask::DownloadTask(std::string url, std::string savepath, int64_t size)
    : _url(std::move(url)), _savepath(std::move(savepath)), _size(size) {}

DownloadTask::~DownloadTask() {
  std::lock_guard<std::mutex> l(requestMutex_);
  if (request && !request->isCancelled()) {
    request->setDelegate(nullptr);
    request->setDownloadProgressDelegate(nullptr);
    request->cancel();
  }
}

void DownloadTask::cancel() {
  plat::Operation::cancel();
  std::lock_guard<std::mutex> l(requestMutex_);
  if (request) request->cancel();
}

void DownloadTask::main() {
  auto r = HCHTTPRequest::requestWithURL(_url);
  if (!r) {
    plat::MainThread::performAndWait([this] {
      NotificationCenter::shareCenter().setGrowlNotificationDescripation("下载最新版本失败，请重试", std::nullopt);
      if (auto w = AppDelegate::shared().appUpdateWindow()) w->orderOut();
      AppDelegate::shared().downloadtaskEnded();
    });
    return;
  }
  r->setDownloadDestinationPath(_savepath);
  r->setTemporaryFileDownloadPath(partialPath(_savepath));
  r->setAllowResumeForFileDownloads(true);
  r->setDelegate(this);
  r->setDownloadProgressDelegate(this);
  r->setTimeOutSeconds(60);
  r->setTrustedCertificatesPEM(QVHTTPRequest::trustedCertificatesPEM());
  {
    std::lock_guard<std::mutex> l(requestMutex_);
    if (isCancelled()) return;
    request = r;
  }
  // An installer left from an earlier offer is no part of this one.
  Util::deletefile(_savepath);
  r->startSynchronous();
}

void DownloadTask::requestDidReceiveBytes(HCHTTPRequest& r, long long bytes) {
  _offset += bytes;
  if (static_cast<unsigned long long>(_offset) > kMaxInstallerSize) {
    r.cancel();
    return;
  }
  if (_size != 0) onAppProgress(_offset * 100 / _size);
}

void DownloadTask::onAppProgress(int64_t percent) {
  if (auto w = AppDelegate::shared().appUpdateWindow()) {
    w->setDownloadProgress(plat::format("%ld%%", static_cast<long>(percent)));
    w->setAppProgress(static_cast<double>(percent));
  }
}

void DownloadTask::onUpdateCloseWindow() {
  AppDelegate& app = AppDelegate::shared();
  if (auto w = app.appUpdateWindow()) w->orderOut();
  std::this_thread::sleep_for(std::chrono::duration<double>(app.updateClosePause()));
  app.openUpdateDmg();
}

void DownloadTask::requestFinished(HCHTTPRequest& r) {
  AppDelegate& app = AppDelegate::shared();
  if (r.responseStatusCode() / 100 != 2 ||
      !appupdate::verifyInstaller(_savepath, app.serversha256(), app.serversignature())) {
    // Whole but not what was offered (or an error page): never opened, and
    // gone, so the next download starts from nothing.
    plat::log("installer %@ does not check out; deleted", _savepath);
    Util::deletefile(_savepath);
    Util::deletefile(partialPath(_savepath));
    NotificationCenter::shareCenter().setGrowlNotificationDescripation("下载的安装包校验失败，已删除，请重试",
                                                                        std::nullopt);
    if (auto w = app.appUpdateWindow()) w->orderOut();
    app.downloadtaskEnded();
    return;
  }
  onUpdateCloseWindow();
  app.downloadtaskEnded();
}

void DownloadTask::requestFailed(HCHTTPRequest& r) {
  AppDelegate& app = AppDelegate::shared();
  // A range past what the service holds can't be resumed: start anew next time.
  if (r.responseStatusCode() == 416) Util::deletefile(partialPath(_savepath));
  NotificationCenter::shareCenter().setGrowlNotificationDescripation("下载最新版本失败，请重试", std::nullopt);
  if (auto w = app.appUpdateWindow()) w->orderOut();
  app.downloadtaskEnded();
}
