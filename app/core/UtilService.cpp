// Util: the way to the application object, the service links (scheme
// choice, the signed single-sign-on link, the web pages' open commands), the
// texts of sign-in errors, the device identity and the network state.
#include <time.h>

#include <cmath>
#include <vector>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/ServiceHosts.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/system/device_identity.h"
#include "platform/system/launcher.h"
#include "platform/system/reachability.h"
#include "platform/system/secure_random.h"

namespace {

// The key of the single-sign-on signature, shared with the web site.
constexpr const char* kSsoKey = "5C07E3B1D84A29F6";
// Seconds from 1970-01-01 to 2001-01-01, the platform's absolute-time origin.
constexpr double kAbsoluteTimeOffset = 978307200.0;

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// NSString's intValue: leading blanks, an optional sign, the digits; 0 when
// there are none.
int64_t leadingInteger(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  int64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    if (v < 100000000000LL) v = v * 10 + (s[i] - '0');
    ++i;
  }
  return neg ? -v : v;
}

std::vector<std::string> splitBlanks(const std::string& s) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t b = s.find(' ', pos);
    out.push_back(s.substr(pos, b == std::string::npos ? std::string::npos : b - pos));
    if (b == std::string::npos) break;
    pos = b + 1;
  }
  return out;
}

std::string accountToken() {
  auto user = Util::getAppDelegate().userdata();
  return user ? user->userToken() : std::string();
}

// The web site's base address under the scheme of the https setting.
std::string webSiteAddress() { return Util::getDealWithHttpsOrHttpUrl("http://" + ServiceHosts::webSite()); }

struct WebCommand {
  std::string address;
  int64_t sso = 0;
  plat::Value object;
};

WebCommand readWebCommand(const std::string& json) {
  WebCommand c;
  auto parsed = JDDeserializing::objectFromJSONString(json);
  if (parsed && parsed->isDictionary()) c.object = *parsed;
  const plat::Value& url = c.object["url"];
  const plat::Value& webpath = c.object["webpath"];
  std::string address = url.isString() ? url.string() : std::string();
  if (webpath.isString() && !webpath.string().empty()) {
    address = plat::format("%@?fullpath=%@", address, webpath.string());
  }
  c.address = address;
  c.sso = c.object["sso"].longLongValue();
  return c;
}

}  // namespace

std::string Util::signedSiteLink(const std::string& page) {
  auto time = getAppDelegate().servertime();
  return mixtureurl(page, "http://" + ServiceHosts::webSite(), accountToken(), time.value_or(""));
}

AppServices& Util::getAppDelegate() { return AppServices::shared(); }

std::string Util::getDealWithHttpsOrHttpUrl(const std::string& url) {
  bool https = getAppDelegate().bHttps();
  if (startsWith(url, "http://")) return https ? "https" + url.substr(4) : url;
  if (startsWith(url, "https://")) return https ? url : "http" + url.substr(5);
  return plat::format(https ? "https://%@" : "http://%@", url);
}

std::string Util::CheckHttpWithUrl(const std::string& url) {
  if (startsWith(url, "http")) return url;
  return plat::format(getAppDelegate().bHttps() ? "https://%@" : "http://%@", url);
}

std::optional<int64_t> Util::serverTimeSeconds(const std::string& time) {
  auto pieces = splitBlanks(time);
  if (pieces.size() != 6) return std::nullopt;
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (pieces[2] == months[i]) month = i + 1;
  }
  // A month we can't name, or a clock piece too short to hold hh:mm:ss, is
  // no date: the caller uses the current time.
  const std::string& clock = pieces[4];
  if (month == 0 || clock.size() < 8) return std::nullopt;
  struct tm tm{};
  tm.tm_year = static_cast<int>(leadingInteger(pieces[3])) - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = static_cast<int>(leadingInteger(pieces[1]));
  tm.tm_hour = static_cast<int>(leadingInteger(clock.substr(0, 2)));
  tm.tm_min = static_cast<int>(leadingInteger(clock.substr(3, 2)));
  tm.tm_sec = static_cast<int>(leadingInteger(clock.substr(6, 2)));
  return static_cast<int64_t>(timegm(&tm));
}

std::string Util::mixtureurl(const std::string& url, const std::string& webpath, const std::string& token,
                             const std::string& time) {
  long n = static_cast<long>(plat::secureRandomUInt32() % 65535u);
  int64_t seconds;
  if (auto t = serverTimeSeconds(time)) {
    seconds = *t;
  } else {
    seconds = static_cast<int64_t>(std::floor(plat::currentClock().now().secondsSince1970));
  }
  long long t32 = static_cast<int32_t>(seconds);
  std::string text = plat::format("%@\n%@\n%lld\n%ld", url, token, t32, n);
  plat::Data mac = NSStringExpand::hmac_sha1(text, kSsoKey);
  std::string s = NSStringExpand::urlEncoded(NSDataExpand::base64Encoded(mac).value_or(""));
  std::string query =
      plat::format("url=%@&token=%@&t=%lld&n=%ld&s=%@", NSStringExpand::urlEncoded(url), token, t32, n, s);
  return plat::format("%@/account/sso?%@", getDealWithHttpsOrHttpUrl(webpath), query);
}

std::string Util::getOpenBrowserWebUrlInfo(const std::string& json) {
  WebCommand c = readWebCommand(json);
  if (c.sso != 0) return signedSiteLink(c.address);
  return CheckHttpWithUrl(c.address);
}

plat::Dictionary Util::getOpenWindowWebUrlInfo(const std::string& json) {
  WebCommand c = readWebCommand(json);
  std::string address = c.sso != 0 ? signedSiteLink(c.address) : webSiteAddress() + c.address;
  auto number = [&](const char* key) { return plat::Value(c.object[key].intValue()); };
  return plat::Dictionary{{"url", plat::Value(address)}, {"resize", number("resize")}, {"width", number("width")},
                          {"height", number("height")},  {"type", number("opentype")},  {"close", number("replace")}};
}

bool Util::openWebUrl(const std::string& url) { return plat::launcher()->openURL(url); }

std::string Util::getChangeTokenError(const std::string& error) {
  if (error == "invalid_request") return "请求无效";
  if (error == "invalid_client") return "当前客户端版本已不能使用，请升级到最新版本";
  if (error == "invalid_grant") return "您输入帐号或密码错误 请重新输入";
  if (error == "invalid_token") return "合作帐号授权失败，请确定授权是否完成？";
  if (error == "unauthorized_client") return "当前设备已经被禁用";
  if (error == "access_denied") return "团队管理员已限制您使用同步客户端";
  return "请求失败,确定是否连接网络后，再重试";
}

std::optional<std::string> Util::getcomputerid() { return plat::deviceIdentity()->serialNumber(); }

std::string Util::getwebloginkey() {
  // The key stands in for the user's sign-in until it is used, so it must
  // not be guessable from the device id and the time alone.
  double absolute = plat::currentClock().now().secondsSince1970 - kAbsoluteTimeOffset;
  std::string text = plat::format("%@%f%@", getcomputerid().value_or(""), absolute, plat::secureRandomHex(32));
  return NSStringExpand::sha1HexDigest(text);
}

bool Util::islink() { return plat::reachability()->isReachable(); }
