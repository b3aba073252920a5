// The UI packages: zip files of pages that the windows load from
// "<config>/UI/<name>/chs/". The program brings its own under
// "<resources>/UI/<name>.zip"; a newer one may wait downloaded in
// "<config>/UI/Temp/<name>.zip". A downloaded package is code that our
// windows run with the bridge's full rights, so it is unpacked only with a
// signature by the key we trust; without a key none is.
#include <openssl/evp.h>

#include <cctype>
#include <mutex>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/ZipWrapper/ZipWrapper.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/text_codec.h"
#include "platform/foundation/user_defaults.h"

namespace {

std::mutex gMutex;  // the resource path and the key
std::string gResourcePath;
plat::Data gKey;

constexpr int64_t kLayoutVersion = 2;

std::string configPath() {
  auto ud = Util::getAppDelegate().userdata();
  return ud ? ud->configPath() : plat::homeDirectory() + "/.quorvacfg";
}

}  // namespace

std::string Util::resourcePath() {
  {
    std::lock_guard<std::mutex> l(gMutex);
    if (!gResourcePath.empty()) return gResourcePath;
  }
  const std::string program = applicationPath();
  return program.empty() ? std::string() : plat::pathJoin(plat::pathDirname(program), "Resources");
}

void Util::setResourcePath(std::string path) {
  std::lock_guard<std::mutex> l(gMutex);
  gResourcePath = std::move(path);
}

void Util::setUIPackageKey(plat::Data key) {
  std::lock_guard<std::mutex> l(gMutex);
  gKey = std::move(key);
}

plat::Data Util::uiPackageKey() {
  std::lock_guard<std::mutex> l(gMutex);
  return gKey;
}

bool Util::verifyUpdateSignature(std::string_view message, std::string_view signature) {
  plat::Data key;
  {
    std::lock_guard<std::mutex> l(gMutex);
    key = gKey;
  }
  if (key.size() != 32 || signature.size() != 64) return false;
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size());
  if (!pkey) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
            EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                             reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  return ok;
}

bool Util::verifyUIPackage(const std::string& package, const std::string& signature) {
  auto body = plat::readFile(package);
  auto sig = plat::readFile(signature);
  return body && sig && verifyUpdateSignature(*body, *sig);
}

void Util::loadUpdateKey() {
  {
    std::lock_guard<std::mutex> l(gMutex);
    if (!gKey.empty()) return;
  }
  // 64 hexadecimal digits: the raw Ed25519 public key.
  auto text = plat::readFile(plat::pathJoin(resourcePath(), "update-key.pub"));
  if (!text) return;
  std::string hex;
  for (char c : *text) {
    if (!std::isspace(static_cast<unsigned char>(c))) hex += c;
  }
  plat::Data key;
  for (size_t i = 0; i + 1 < hex.size() && hex.size() == 64; i += 2) {
    const int hi = plat::hexDigitValue(static_cast<unsigned char>(hex[i]));
    const int lo = plat::hexDigitValue(static_cast<unsigned char>(hex[i + 1]));
    if (hi < 0 || lo < 0) return;
    key.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  if (key.size() == 32) setUIPackageKey(std::move(key));
}

void Util::initLoadResourcFileName(const std::string& name, const std::string& page, bool set) {
  const std::string config = configPath();
  const std::string pagePath = plat::format("%@/UI/%@/chs/%@", config, name, page);
  const std::string downloaded = plat::format("%@/UI/Temp/%@.zip", config, name);
  const std::string signature = downloaded + ".sig";
  const std::string target = plat::format("%@/UI/", config);
  const std::string bundled = plat::format("%@/UI/%@.zip", resourcePath(), name);

  std::string source;
  bool fromDownload = false;
  if (set) {
    source = bundled;
  } else if (existfile(downloaded)) {
    if (verifyUIPackage(downloaded, signature)) {
      source = downloaded;
      fromDownload = true;
    } else {
      QVLog::sharedQVLog().addLogErrorFile(name + ".zip", "界面资源包没有可信的签名，已删除");
      deletefile(downloaded);
      deletefile(signature);
      if (!existfile(pagePath)) source = bundled;
    }
  } else if (!existfile(pagePath)) {
    source = bundled;
  }
  if (source.empty()) return;

  auto bytes = plat::readFile(source);
  const std::string digest = bytes ? NSDataExpand::md5Data2String(*bytes) : std::string();
  ZipWrapper zip;
  if (!bytes || !zip.UnzipOpenFile(source)) {
    plat::log("UI package %@ can't be opened", source);
    return;
  }
  if (zip.UnzipFileTo(target, true)) {
    plat::UserDefaults::standard().setObject(name + "quorva", plat::Value(digest));
  } else {
    plat::log("UI package %@ can't be unpacked", source);
  }
  zip.UnzipCloseFile();
  if (fromDownload) {
    deletefile(downloaded);
    deletefile(signature);
  }
}

void Util::loadUIPackages() {
  loadUpdateKey();
  auto& defaults = plat::UserDefaults::standard();
  const bool force = defaults.integerForKey("versionquorva") < kLayoutVersion;
  initLoadResourcFileName("start", "login.html", force);
  initLoadResourcFileName("default", "launchpad.html", force);
  defaults.setObject("versionquorva", plat::Value(std::to_string(kLayoutVersion)));
}
