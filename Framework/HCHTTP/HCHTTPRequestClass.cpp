// Class-level services of HCHTTPRequest: the one network thread, the shared
// queue, network activity, the default time-out and user agent, and small
// helpers (MIME types, Base64, dates, Content-Type, text encodings).
#include <sys/utsname.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <future>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "platform/foundation/text_encoding.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread.h"

using plat::Data;
using namespace hchttp;

namespace {
std::mutex& classMonitor() {
  static std::mutex m;
  return m;
}
std::atomic<double> gDefaultTimeOutSeconds{10.0};

struct AppInfo {
  std::string name, shortVersion, bundleVersion;
  std::optional<std::string> userAgent;
  bool userAgentBuilt = false;
};
AppInfo& appInfo() {
  static AppInfo info;
  return info;
}
}  // namespace

namespace hchttp {
void addSessionCookie(const HCHTTPCookie& cookie) {
  ClassState& cs = classState();
  std::lock_guard l(cs.sessionCookiesLock);
  std::erase_if(cs.sessionCookies, [&](const HCHTTPCookie& c) { return c.sameIdentity(cookie); });
  cs.sessionCookies.push_back(cookie);
}
}  // namespace hchttp

namespace {
// The network thread serves requests as long as the process lives; it is
// stopped and joined only when the process exits, before the objects it
// uses (the clock) go away.
struct NetworkThread {
  std::shared_ptr<plat::RunLoop> loop;
  std::thread thread;
  std::atomic<bool> stopping{false};
  ~NetworkThread() {
    if (!thread.joinable()) return;
    stopping = true;
    loop->stop();
    loop->wakeUp();
    thread.join();
  }
};

NetworkThread& networkThread() {
  // Made first, so they outlive the thread.
  plat::currentClock();
  classState();
  static NetworkThread network;
  return network;
}
}  // namespace

std::shared_ptr<plat::RunLoop> HCHTTPRequest::threadForRequest(const HCHTTPRequest*) {
  NetworkThread& network = networkThread();
  std::lock_guard l(classMonitor());
  if (network.loop) return network.loop;
  std::promise<std::shared_ptr<plat::RunLoop>> ready;
  auto future = ready.get_future();
  network.thread = plat::startThread("HCHTTPRequest network thread", [&ready, &network] {
    auto loop = plat::RunLoop::current();
    ready.set_value(loop);
    while (!network.stopping) loop->run();
  });
  network.loop = future.get();
  return network.loop;
}

plat::OperationQueue& HCHTTPRequest::sharedQueue() {
  static plat::OperationQueue queue("HCHTTPRequest sharedQueue");
  static std::once_flag once;
  std::call_once(once, [] { queue.setMaxConcurrentOperationCount(4); });
  return queue;
}

bool HCHTTPRequest::isNetworkInUse() {
  ClassState& cs = classState();
  std::lock_guard l(cs.connectionsLock);
  return cs.runningRequestCount > 0;
}

void HCHTTPRequest::setShouldUpdateNetworkActivityIndicator(bool update) {
  ClassState& cs = classState();
  std::lock_guard l(cs.connectionsLock);
  cs.shouldUpdateNetworkActivityIndicator = update;
}

void HCHTTPRequest::hideNetworkActivityIndicatorAfterDelay() {
  // One pending check is enough: it looks at the count when it fires. A
  // timer per finished request would pile up by the hundred.
  static std::atomic<bool> pending{false};
  if (pending.exchange(true)) return;
  plat::RunLoop::current()->addTimer(0.5, 0, false, [] {
    pending = false;
    hideNetworkActivityIndicatorIfNeeeded();
  });
}

void HCHTTPRequest::hideNetworkActivityIndicatorIfNeeeded() {
  ClassState& cs = classState();
  std::lock_guard l(cs.connectionsLock);
  if (cs.runningRequestCount == 0) hideNetworkActivityIndicator();
}

double HCHTTPRequest::defaultTimeOutSeconds() { return gDefaultTimeOutSeconds; }
void HCHTTPRequest::setDefaultTimeOutSeconds(double seconds) { gDefaultTimeOutSeconds = seconds; }

void HCHTTPRequest::setApplicationInfo(std::string name, std::string shortVersion, std::string bundleVersion) {
  std::lock_guard l(classMonitor());
  auto& a = appInfo();
  a.name = std::move(name);
  a.shortVersion = std::move(shortVersion);
  a.bundleVersion = std::move(bundleVersion);
  if (!a.userAgent) a.userAgentBuilt = false;
}

std::optional<std::string> HCHTTPRequest::defaultUserAgentString() {
  std::lock_guard l(classMonitor());
  auto& a = appInfo();
  if (a.userAgent || a.userAgentBuilt) return a.userAgent;
  if (a.name.empty()) return std::nullopt;
  std::string version;
  if (!a.shortVersion.empty() && !a.bundleVersion.empty() && a.shortVersion != a.bundleVersion) {
    version = plat::format("%@ rv:%@", a.shortVersion, a.bundleVersion);
  } else {
    version = a.shortVersion.empty() ? a.bundleVersion : a.shortVersion;
  }
  std::string locale = "en_US";
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = getenv(var);
    if (v && *v && strcmp(v, "C") != 0 && strcmp(v, "POSIX") != 0) {
      locale = v;
      break;
    }
  }
  locale = locale.substr(0, locale.find_first_of(".@"));
  struct utsname u {};
  unsigned major = 0, minor = 0, bugfix = 0;
  if (uname(&u) != 0 || sscanf(u.release, "%u.%u.%u", &major, &minor, &bugfix) < 2) return std::nullopt;
  std::string os = plat::format("%u.%u.%u", major, minor, bugfix);
  a.userAgent = plat::format("%@ %@ (%@; %@ %@; %@)", a.name, version, "Macintosh", "Mac OS X", os, locale);
  a.userAgentBuilt = true;
  return a.userAgent;
}

void HCHTTPRequest::setDefaultUserAgentString(std::optional<std::string> agent) {
  std::lock_guard l(classMonitor());
  appInfo().userAgent = std::move(agent);
  appInfo().userAgentBuilt = true;
}

std::optional<std::string> HCHTTPRequest::mimeTypeForFileAtPath(const std::string& path) {
  if (!plat::fileExists(path)) return std::nullopt;
  static const std::pair<const char*, const char*> kTypes[] = {
      {"html", "text/html"}, {"htm", "text/html"},        {"txt", "text/plain"},       {"css", "text/css"},
      {"js", "text/javascript"}, {"json", "application/json"}, {"xml", "application/xml"}, {"png", "image/png"},
      {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},      {"gif", "image/gif"},        {"pdf", "application/pdf"},
      {"zip", "application/zip"}, {"gz", "application/x-gzip"}, {"mp4", "video/mp4"}, {"mp3", "audio/mpeg"},
  };
  std::string base = plat::pathBasename(path);
  size_t dot = base.rfind('.');
  if (dot != std::string::npos) {
    std::string ext = lowercase(base.substr(dot + 1));
    for (const auto& [e, t] : kTypes) {
      if (ext == e) return std::string(t);
    }
  }
  return std::string("application/octet-stream");
}

std::string HCHTTPRequest::base64forData(const Data& data) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    unsigned v = static_cast<unsigned>(data[i]) << 16 | static_cast<unsigned>(data[i + 1]) << 8 | data[i + 2];
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == data.size()) {
    unsigned v = static_cast<unsigned>(data[i]) << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == data.size()) {
    unsigned v = static_cast<unsigned>(data[i]) << 16 | static_cast<unsigned>(data[i + 1]) << 8;
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

std::optional<plat::Date> HCHTTPRequest::dateFromRFC1123String(const std::string& text) {
  bool weekday = text.find(',') != std::string::npos;
  size_t colons = std::count(text.begin(), text.end(), ':');
  std::string pattern = plat::format("%@%%d %%b %%Y %%H:%%M%@ ", weekday ? "%a, " : "", colons == 2 ? ":%S" : "");
  struct tm tm {};
  const char* end = strptime(text.c_str(), pattern.c_str(), &tm);
  if (!end) return std::nullopt;
  std::string zone = end;
  double offset = 0;
  if (zone == "GMT" || zone == "UTC" || zone == "UT" || zone == "Z") {
    offset = 0;
  } else if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-')) {
    int hh = std::atoi(zone.substr(1, 2).c_str()), mm = std::atoi(zone.substr(3, 2).c_str());
    offset = (zone[0] == '+' ? 1 : -1) * (hh * 3600 + mm * 60);
  } else {
    return std::nullopt;
  }
  return plat::Date{static_cast<double>(timegm(&tm)) - offset};
}

std::optional<plat::Date> HCHTTPRequest::expiryDateForRequest(const HCHTTPRequest& request, double maxAge) {
  if (maxAge == 0) {
    if (auto cc = request.responseHeader("Cache-Control")) {
      std::string v = lowercase(*cc);
      size_t at = v.find("max-age");
      if (at != std::string::npos) {
        at += 7;
        if (at < v.size() && v[at] == '=') ++at;
        maxAge = std::strtod(v.c_str() + at, nullptr);
      }
    }
  }
  if (maxAge != 0) return plat::Date{plat::currentClock().now().secondsSince1970 + maxAge};
  if (auto expires = request.responseHeader("Expires")) return dateFromRFC1123String(*expires);
  return std::nullopt;
}

namespace {
std::string trimBlanks(std::string s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}
}  // namespace

void HCHTTPRequest::parseMimeType(std::string* mimeType, HCStringEncoding* encoding,
                                  const std::optional<std::string>& contentType) {
  if (!contentType) return;
  const std::string& v = *contentType;
  size_t semi = v.find(';');
  if (semi != std::string::npos && semi > 0) {
    if (mimeType) *mimeType = trimBlanks(v.substr(0, semi));
    std::string lower = lowercase(v);
    size_t cs = lower.find("charset=", semi);
    if (cs != std::string::npos) {
      size_t start = cs + 8;
      size_t stop = v.find(';', start);
      std::string name = trimBlanks(v.substr(start, stop == std::string::npos ? std::string::npos : stop - start));
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
      HCStringEncoding e = encodingForIANACharSetName(name);
      if (e != 0 && encoding) *encoding = e;
    }
  } else if (mimeType) {
    *mimeType = trimBlanks(v);
  }
}

HCStringEncoding HCHTTPRequest::encodingForIANACharSetName(const std::string& name) {
  static const std::pair<const char*, HCStringEncoding> kNames[] = {
      {"utf-8", HCUTF8StringEncoding},          {"utf8", HCUTF8StringEncoding},
      {"iso-8859-1", HCISOLatin1StringEncoding}, {"iso_8859-1", HCISOLatin1StringEncoding},
      {"latin1", HCISOLatin1StringEncoding},    {"l1", HCISOLatin1StringEncoding},
      {"us-ascii", HCASCIIStringEncoding},      {"ascii", HCASCIIStringEncoding},
      {"windows-1252", HCWindowsCP1252StringEncoding}, {"cp1252", HCWindowsCP1252StringEncoding},
      {"utf-16", HCUTF16StringEncoding},        {"gb2312", HCGB18030StringEncoding},
      {"gbk", HCGB18030StringEncoding},         {"gb18030", HCGB18030StringEncoding},
      {"big5", HCBig5StringEncoding},
  };
  std::string n = lowercase(name);
  for (const auto& [k, e] : kNames) {
    if (n == k) return e;
  }
  return 0;
}

std::optional<std::string> HCHTTPRequest::stringWithData(const Data& data, HCStringEncoding encoding) {
  const std::string_view view(reinterpret_cast<const char*>(data.data()), data.size());
  switch (encoding) {
    case HCUTF8StringEncoding:
      if (!plat::isValidUTF8(view)) return std::nullopt;
      return std::string(view);
    case HCASCIIStringEncoding:
      for (uint8_t c : data) {
        if (c >= 0x80) return std::nullopt;
      }
      return std::string(data.begin(), data.end());
    case HCISOLatin1StringEncoding:
      return plat::latin1ToUTF8(view);
    case HCWindowsCP1252StringEncoding:
      return plat::convertText(view, "UTF-8", "CP1252");
    case HCUTF16StringEncoding:
      return plat::convertText(view, "UTF-8", "UTF-16");
    case HCGB18030StringEncoding:
      return plat::convertText(view, "UTF-8", "GB18030");
    case HCBig5StringEncoding:
      return plat::convertText(view, "UTF-8", "BIG5");
    default:
      return std::nullopt;
  }
}
