#include "platform/net/proxy_settings.h"

#define G_SETTINGS_ENABLE_BACKEND
#include <arpa/inet.h>
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <mutex>

#include "platform/foundation/log.h"

namespace plat {

namespace {

constexpr const char* kSchema = "org.gnome.system.proxy";

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

// "http://user:pw@host:port/", "socks5://host:1080" or "host:port".
std::optional<SystemProxySettings::Server> parseProxyURL(const std::string& text) {
  std::string t = trim(text);
  if (t.find("://") == std::string::npos) t = "http://" + t;
  auto url = URL::parse(t);
  if (!url || url->host().empty()) return std::nullopt;
  SystemProxySettings::Server s;
  const std::string& scheme = url->scheme();
  if (scheme == "http") {
    s.type = kCFProxyTypeHTTP;
    s.port = url->port().value_or(80);
  } else if (scheme == "socks" || scheme == "socks5" || scheme == "socks5h") {
    s.type = kCFProxyTypeSOCKS;
    s.port = url->port().value_or(1080);
  } else {
    return std::nullopt;  // TLS to the proxy, SOCKS4: the streams speak neither
  }
  s.host = url->host();
  s.username = percentDecode(url->user()).value_or("");
  s.password = percentDecode(url->password()).value_or("");
  return s;
}

std::vector<std::string> splitList(const std::string& s) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= s.size()) {
    size_t comma = s.find(',', at);
    std::string item = trim(s.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (!item.empty()) out.push_back(item);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

bool inIPv4Network(const std::string& host, const std::string& network) {
  size_t slash = network.find('/');
  if (slash == std::string::npos) return false;
  in_addr h{}, n{};
  if (inet_pton(AF_INET, host.c_str(), &h) != 1 || inet_pton(AF_INET, network.substr(0, slash).c_str(), &n) != 1)
    return false;
  char* end = nullptr;
  long bits = std::strtol(network.c_str() + slash + 1, &end, 10);
  if (*end != '\0' || bits < 0 || bits > 32) return false;
  uint32_t mask = bits == 0 ? 0 : htonl(~uint32_t{0} << (32 - bits));
  return (h.s_addr & mask) == (n.s_addr & mask);
}

std::optional<std::string> stringOf(GSettings* s, const char* key) {
  gchar* v = g_settings_get_string(s, key);
  if (!v) return std::nullopt;
  std::string out = v;
  g_free(v);
  return out;
}

}  // namespace

bool hostMatchesProxyExceptions(const std::string& rawHost, int port, const std::vector<std::string>& exceptions) {
  const std::string host = lower(rawHost);
  for (std::string e : exceptions) {
    e = lower(trim(e));
    if (e.empty()) continue;
    if (e == "*") return true;
    // An optional ":port" (not the colons of a bare IPv6 address).
    std::optional<int> wantPort;
    size_t colon = e.rfind(':');
    if (colon != std::string::npos && e.find(':') == colon) {
      wantPort = std::atoi(e.c_str() + colon + 1);
      e = e.substr(0, colon);
    } else if (!e.empty() && e.front() == '[') {
      size_t close = e.find(']');
      if (close != std::string::npos) {
        if (close + 1 < e.size() && e[close + 1] == ':') wantPort = std::atoi(e.c_str() + close + 2);
        e = e.substr(1, close - 1);
      }
    }
    if (wantPort && *wantPort != port) continue;
    if (e.find('/') != std::string::npos) {
      if (inIPv4Network(host, e)) return true;
      continue;
    }
    if (e.rfind("*.", 0) == 0) e = e.substr(1);
    if (!e.empty() && e.front() == '.') e = e.substr(1);
    if (host == e) return true;
    if (host.size() > e.size() && host.compare(host.size() - e.size(), e.size(), e) == 0 &&
        host[host.size() - e.size() - 1] == '.')
      return true;
  }
  return false;
}

std::vector<ProxyEntry> proxiesForURL(const URL& url, const SystemProxySettings& settings) {
  const ProxyEntry direct = ProxyEntry::ofType(kCFProxyTypeNone);
  if (hostMatchesProxyExceptions(url.host(), url.effectivePort(), settings.exceptions)) return {direct};
  if (settings.autoConfigurationURL) {
    ProxyEntry pac = ProxyEntry::ofType(kCFProxyTypeAutoConfigurationURL);
    pac.autoConfigurationURL = settings.autoConfigurationURL;
    return {pac};
  }
  const std::optional<SystemProxySettings::Server>* chosen = nullptr;
  if (url.scheme() == "http" && settings.http) chosen = &settings.http;
  if (url.scheme() == "https" && settings.https) chosen = &settings.https;
  if (!chosen && settings.socks) chosen = &settings.socks;
  if (!chosen) return {direct};
  const auto& s = **chosen;
  ProxyEntry e;
  e.type = s.type == kCFProxyTypeSOCKS ? kCFProxyTypeSOCKS : url.isHTTPS() ? kCFProxyTypeHTTPS : kCFProxyTypeHTTP;
  e.host = s.host;
  e.port = s.port;
  e.username = s.username;
  e.password = s.password;
  return {e};
}

namespace {
// Every variable environmentProxySettings() looks at.
constexpr const char* kProxyVariables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                           "ALL_PROXY",  "no_proxy",    "NO_PROXY"};
constexpr size_t kProxyVariableCount = sizeof kProxyVariables / sizeof kProxyVariables[0];
}  // namespace

std::optional<SystemProxySettings> environmentProxySettings() {
  SystemProxySettings s;
  // The upper-case HTTP_PROXY is left alone: a CGI environment fills it from a request header.
  struct {
    const char* names[2];
    std::optional<SystemProxySettings::Server>* into;
  } vars[] = {{{"http_proxy", nullptr}, &s.http},
              {{"https_proxy", "HTTPS_PROXY"}, &s.https},
              {{"all_proxy", "ALL_PROXY"}, &s.socks}};
  for (auto& v : vars) {
    const char* value = env(v.names[0]);
    if (!value && v.names[1]) value = env(v.names[1]);
    if (!value) continue;
    *v.into = parseProxyURL(value);
    if (!*v.into) {
      log("proxy settings: can't use %@=%@", v.names[0], std::string(value));
      return std::nullopt;
    }
  }
  const char* no = env("no_proxy");
  if (!no) no = env("NO_PROXY");
  if (no) s.exceptions = splitList(no);
  return s;
}

// Reading GSettings costs more than a request's own work on a fast
// network: the answers are kept, and the environment is compared by value.
struct ProxySettingsSource::Cache {
  std::mutex mutex;
  bool desktopRead = false;
  std::chrono::steady_clock::time_point desktopReadAt;
  bool desktopDecides = false;
  std::optional<SystemProxySettings> desktop;
  bool environmentRead = false;
  std::optional<std::string> variables[kProxyVariableCount];
  std::optional<SystemProxySettings> environment;

  // The variables' values as getenv() gives them, found in one pass.
  static void currentValues(const char* (&values)[kProxyVariableCount]) {
    static const auto lengths = [] {
      std::array<size_t, kProxyVariableCount> l{};
      for (size_t i = 0; i < kProxyVariableCount; ++i) l[i] = std::strlen(kProxyVariables[i]);
      return l;
    }();
    for (auto& v : values) v = nullptr;
    for (char** e = environ; e && *e; ++e) {
      const char* entry = *e;
      for (size_t i = 0; i < kProxyVariableCount; ++i) {
        if (!values[i] && entry[0] == kProxyVariables[i][0] &&
            std::strncmp(entry, kProxyVariables[i], lengths[i]) == 0 && entry[lengths[i]] == '=') {
          values[i] = entry + lengths[i] + 1;
          break;
        }
      }
    }
  }
  bool environmentUnchanged() const {
    if (!environmentRead) return false;
    const char* values[kProxyVariableCount];
    currentValues(values);
    for (size_t i = 0; i < kProxyVariableCount; ++i) {
      const char* v = values[i];
      if (v ? !variables[i] || *variables[i] != v : variables[i].has_value()) return false;
    }
    return true;
  }
  void noteEnvironment() {
    const char* values[kProxyVariableCount];
    currentValues(values);
    for (size_t i = 0; i < kProxyVariableCount; ++i)
      variables[i] = values[i] ? std::optional<std::string>(values[i]) : std::nullopt;
    environmentRead = true;
  }
};

ProxySettingsSource::ProxySettingsSource() : cache_(std::make_unique<Cache>()) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return;
  source_ = g_settings_schema_source_ref(source);
  if (GSettingsSchema* schema = g_settings_schema_source_lookup(source_, kSchema, TRUE)) {
    settings_ = g_settings_new_full(schema, nullptr, nullptr);
    g_settings_schema_unref(schema);
  }
}

ProxySettingsSource::ProxySettingsSource(const std::string& schemaDirectory) : cache_(std::make_unique<Cache>()) {
  GError* err = nullptr;
  source_ = g_settings_schema_source_new_from_directory(schemaDirectory.c_str(), nullptr, FALSE, &err);
  if (err) g_error_free(err);
  if (!source_) return;
  backend_ = g_memory_settings_backend_new();
  if (GSettingsSchema* schema = g_settings_schema_source_lookup(source_, kSchema, FALSE)) {
    settings_ = g_settings_new_full(schema, backend_, nullptr);
    g_settings_schema_unref(schema);
  }
}

ProxySettingsSource::~ProxySettingsSource() {
  if (settings_) g_object_unref(settings_);
  if (backend_) g_object_unref(backend_);
  if (source_) g_settings_schema_source_unref(source_);
}

GSettings* ProxySettingsSource::child(const std::string& key, std::string* leaf) const {
  size_t slash = key.find('/');
  if (slash == std::string::npos) {
    *leaf = key;
    return G_SETTINGS(g_object_ref(settings_));
  }
  *leaf = key.substr(slash + 1);
  return g_settings_get_child(settings_, key.substr(0, slash).c_str());
}

bool ProxySettingsSource::setString(const std::string& key, const std::string& value) {
  if (!settings_) return false;
  std::string leaf;
  GSettings* s = child(key, &leaf);
  bool ok = s && g_settings_set_string(s, leaf.c_str(), value.c_str());
  if (s) g_object_unref(s);
  forgetDesktop();
  return ok;
}

bool ProxySettingsSource::setInt(const std::string& key, int value) {
  if (!settings_) return false;
  std::string leaf;
  GSettings* s = child(key, &leaf);
  bool ok = s && g_settings_set_int(s, leaf.c_str(), value);
  if (s) g_object_unref(s);
  forgetDesktop();
  return ok;
}

bool ProxySettingsSource::setStrings(const std::string& key, const std::vector<std::string>& values) {
  if (!settings_) return false;
  std::vector<const gchar*> v;
  for (const auto& x : values) v.push_back(x.c_str());
  v.push_back(nullptr);
  std::string leaf;
  GSettings* s = child(key, &leaf);
  bool ok = s && g_settings_set_strv(s, leaf.c_str(), v.data());
  if (s) g_object_unref(s);
  forgetDesktop();
  return ok;
}

void ProxySettingsSource::forgetDesktop() {
  std::lock_guard l(cache_->mutex);
  cache_->desktopRead = false;
}

std::optional<SystemProxySettings> ProxySettingsSource::read() const {
  Cache& c = *cache_;
  std::lock_guard l(c.mutex);
  if (settings_) {
    const auto now = std::chrono::steady_clock::now();
    if (!c.desktopRead || now - c.desktopReadAt >= std::chrono::duration<double>(kDesktopRecheckSeconds)) {
      c.desktop = readDesktop();
      c.desktopDecides = c.desktop.has_value();
      c.desktopRead = true;
      c.desktopReadAt = now;
    }
    if (c.desktopDecides) return c.desktop;
  }
  if (!c.environmentUnchanged()) {
    c.noteEnvironment();
    c.environment = environmentProxySettings();
  }
  return c.environment;
}

std::optional<SystemProxySettings> ProxySettingsSource::readDesktop() const {
  const std::string mode = stringOf(settings_, "mode").value_or("none");
  // "none" is also what a desktop other than GNOME leaves there: the environment decides then.
  if (mode != "manual" && mode != "auto") return std::nullopt;
  SystemProxySettings s;
  gchar** ignore = g_settings_get_strv(settings_, "ignore-hosts");
  for (gchar** p = ignore; p && *p; ++p) s.exceptions.push_back(*p);
  g_strfreev(ignore);
  if (mode == "auto") {
    auto pac = stringOf(settings_, "autoconfig-url");
    // An automatic mode without a script URL leaves nothing to run: direct.
    if (pac && !pac->empty()) s.autoConfigurationURL = pac;
    return s;
  }
  struct {
    const char* child;
    const char* type;
    std::optional<SystemProxySettings::Server>* into;
  } servers[] = {{"http", kCFProxyTypeHTTP, &s.http}, {"https", kCFProxyTypeHTTP, &s.https},
                 {"socks", kCFProxyTypeSOCKS, &s.socks}};
  for (auto& sv : servers) {
    GSettings* c = g_settings_get_child(settings_, sv.child);
    if (!c) continue;
    auto host = stringOf(c, "host");
    int port = g_settings_get_int(c, "port");
    if (host && !host->empty() && port > 0 && port < 65536) {
      SystemProxySettings::Server server;
      server.type = sv.type;
      server.host = *host;
      server.port = port;
      *sv.into = server;
    }
    g_object_unref(c);
  }
  return s;
}

namespace {
std::mutex sourceMutex;
// Never destroyed: glib's own worker thread may still use the settings
// objects while the process tears down its statics.
std::shared_ptr<ProxySettingsSource>& sharedSource = *new std::shared_ptr<ProxySettingsSource>();
}  // namespace

std::mutex applicationMutex;
std::optional<SystemProxySettings>& applicationSettings = *new std::optional<SystemProxySettings>();

void setApplicationProxySettings(std::optional<SystemProxySettings> settings) {
  std::lock_guard l(applicationMutex);
  applicationSettings = std::move(settings);
}

std::optional<SystemProxySettings> applicationProxySettings() {
  std::lock_guard l(applicationMutex);
  return applicationSettings;
}

std::optional<SystemProxySettings> copySystemProxySettings() {
  if (auto own = applicationProxySettings()) return own;
  // One reader at a time: GSettings objects are not for several threads at once.
  std::lock_guard l(sourceMutex);
  if (!sharedSource) sharedSource = std::make_shared<ProxySettingsSource>();
  return sharedSource->read();
}

void setProxySettingsSource(std::shared_ptr<ProxySettingsSource> source) {
  std::lock_guard l(sourceMutex);
  sharedSource = std::move(source);
}

}  // namespace plat
