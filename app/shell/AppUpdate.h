// The application update: the check with the update service, the download
// of the installer with its progress, and what the update dialog is told.
//
// An installer is handed to the desktop only once it is whole and checked:
// its SHA-256 must be the one the service's answer gives, and that digest
// must carry an Ed25519 signature by the key we trust (Util::
// setUIPackageKey). A download that fails or is cut leaves its bytes in
// "<installer>.download", from which the next download resumes; one that
// is whole but does not check out is deleted, so the next one starts anew.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Framework/HCHTTP/HCHTTPRequestDelegate.h"
#include "platform/foundation/operation_queue.h"

class HCHTTPRequest;

// The update dialog as the download drives it (main thread only). The
// windows provide the one on screen; until one is set, the values are kept
// by AppUpdateValues.
class AppUpdateWindow {
public:
  virtual ~AppUpdateWindow() = default;
  virtual void setSerVersion(const std::string& v) = 0;
  virtual void setAppVersion(const std::string& v) = 0;
  // "%ld%%" of the percent.
  virtual void setDownloadProgress(const std::string& text) = 0;
  // The bar, 0 to 100.
  virtual void setAppProgress(double value) = 0;
  virtual void showWindow() = 0;
  virtual void orderOut() = 0;
};

class AppUpdateValues : public AppUpdateWindow {
public:
  void setSerVersion(const std::string& v) override { serVersion = v; }
  void setAppVersion(const std::string& v) override { appVersion = v; }
  void setDownloadProgress(const std::string& text) override { downloadProgress = text; }
  void setAppProgress(double value) override { appProgress = value; }
  void showWindow() override { visible = true; }
  void orderOut() override { visible = false; }

  std::string serVersion, appVersion, downloadProgress;
  double appProgress = 0;
  bool visible = false;
};

// One check with the update service; `_bShow` when the person asked for it.
class GetUpdateXML : public plat::Operation {
public:
  explicit GetUpdateXML(bool bShow) : _bShow(bShow) {}
  void main() override;

  static std::string checkURL();

private:
  bool _bShow;
};

// The installer's download: `_url` into `_savepath`, `_size` bytes
// announced, `_offset` received so far (what an earlier cut attempt left
// included).
class DownloadTask : public plat::Operation, public HCHTTPRequestDelegate, public HCProgressDelegate {
public:
  // The most an installer may take on disk.
  static constexpr unsigned long long kMaxInstallerSize = 4ull << 30;

  DownloadTask(std::string url, std::string savepath, int64_t size);
  ~DownloadTask() override;

  void main() override;
  void cancel() override;

  // HCHTTPRequestDelegate and HCProgressDelegate (main thread).
  void requestStarted(HCHTTPRequest&) override {}
  void requestFinished(HCHTTPRequest& request) override;
  void requestFailed(HCHTTPRequest& request) override;
  void requestDidReceiveBytes(HCHTTPRequest& request, long long bytes) override;

  void onAppProgress(int64_t percent);
  void onUpdateCloseWindow();

  // Where a cut download waits to be resumed.
  static std::string partialPath(const std::string& savepath) { return savepath + ".download"; }

  int64_t offset() const { return _offset; }

private:
  std::string _url;
  std::string _savepath;
  int64_t _size;
  int64_t _offset = 0;
  std::mutex requestMutex_;  // `request` is set on the operation's thread, cancelled from any
  std::shared_ptr<HCHTTPRequest> request;
};

namespace appupdate {
// The installer checks out: its SHA-256 is `sha256` (hexadecimal) and the
// trusted key signed those 32 bytes (`signature`, Base64).
bool verifyInstaller(const std::string& path, const std::string& sha256, const std::string& signature);
// Where the offered installer is kept: "<config>/quorvaupdate" with the
// extension of the file the service names (".dmg" when it has none we take).
std::string installerPath(const std::string& configPath, const std::string& serverpath);
}  // namespace appupdate
