#include "platform/system/device_identity.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cctype>

#include "platform/foundation/file_util.h"
#include "platform/system/path_escape.h"
#include "platform/system/replaceable.h"

namespace plat {

namespace {
// This application's own 128-bit id: the key under which the machine id is
// turned into our device id.
const unsigned char kAppId[16] = {0x5b, 0x2e, 0x91, 0x7c, 0x04, 0xd3, 0x4a, 0x68,
                                  0xb1, 0x9f, 0x26, 0xe0, 0x7d, 0x53, 0xc8, 0x1a};

Replaceable<DeviceIdentity, MachineIdIdentity> gIdentity;
}  // namespace

std::optional<std::string> applicationDeviceId(const std::string& machineId) {
  std::string text = machineId;
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (text.size() != 32) return std::nullopt;
  unsigned char raw[16];
  for (size_t i = 0; i < 16; ++i) {
    int hi = hexDigitValue(static_cast<unsigned char>(text[2 * i]));
    int lo = hexDigitValue(static_cast<unsigned char>(text[2 * i + 1]));
    if (hi < 0 || lo < 0) return std::nullopt;
    raw[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int macLen = 0;
  if (!HMAC(EVP_sha256(), raw, sizeof raw, kAppId, sizeof kAppId, mac, &macLen) || macLen < 16) {
    return std::nullopt;
  }
  std::string out;
  for (size_t i = 0; i < 16; ++i) {
    out.push_back(kUpperHexDigits[mac[i] >> 4]);
    out.push_back(kUpperHexDigits[mac[i] & 15]);
  }
  return out;
}

MachineIdIdentity::MachineIdIdentity(std::vector<std::string> files) : files_(std::move(files)) {}

std::optional<std::string> MachineIdIdentity::serialNumber() const {
  for (const auto& f : files_) {
    auto text = readFile(f);
    if (!text) continue;
    if (auto id = applicationDeviceId(*text)) return id;
  }
  return std::nullopt;
}

std::shared_ptr<const DeviceIdentity> deviceIdentity() { return gIdentity.get(); }

void setDeviceIdentity(std::shared_ptr<DeviceIdentity> identity) { gIdentity.set(std::move(identity)); }

}  // namespace plat
