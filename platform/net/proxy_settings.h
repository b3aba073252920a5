// The system's proxy settings and the proxies they give for a URL.
// GNOME's settings (GSettings schema "org.gnome.system.proxy") are read
// where the schema is installed and name a manual or automatic mode; else
// the environment (http_proxy, https_proxy, all_proxy, no_proxy and their
// upper-case forms). An automatic mode yields one entry naming the PAC
// script; running it is proxy_pac.h.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/url.h"

typedef struct _GSettings GSettings;
typedef struct _GSettingsBackend GSettingsBackend;
typedef struct _GSettingsSchemaSource GSettingsSchemaSource;

namespace plat {

inline constexpr const char* kCFProxyTypeNone = "kCFProxyTypeNone";
inline constexpr const char* kCFProxyTypeHTTP = "kCFProxyTypeHTTP";
inline constexpr const char* kCFProxyTypeHTTPS = "kCFProxyTypeHTTPS";
inline constexpr const char* kCFProxyTypeSOCKS = "kCFProxyTypeSOCKS";
inline constexpr const char* kCFProxyTypeAutoConfigurationURL = "kCFProxyTypeAutoConfigurationURL";

// One proxy of a list: a type above, and a host and port (none for the
// direct type), or the PAC script's URL.
struct ProxyEntry {
  std::string type;
  std::string host;
  int port = 0;
  std::string username;  // given in an environment proxy URL
  std::string password;
  std::optional<std::string> autoConfigurationURL;
  bool operator==(const ProxyEntry&) const = default;

  static ProxyEntry ofType(std::string type) {
    ProxyEntry e;
    e.type = std::move(type);
    return e;
  }
};

struct SystemProxySettings {
  struct Server {
    std::string type;  // HTTP or SOCKS
    std::string host;
    int port = 0;
    std::string username, password;
  };
  std::optional<Server> http, https, socks;  // socks serves every scheme
  std::optional<std::string> autoConfigurationURL;
  std::vector<std::string> exceptions;  // hosts that go direct
};

// Whether `host` (and `port`) is named by one of the exceptions: "*", a
// host, a domain (".example.com", "*.example.com", "example.com" also
// matches its sub-domains), an IPv4 network ("10.0.0.0/8"), each with an
// optional ":port".
bool hostMatchesProxyExceptions(const std::string& host, int port, const std::vector<std::string>& exceptions);

// The proxies for the URL under the settings, first to use first. An
// exception or nothing set gives the one direct entry.
std::vector<ProxyEntry> proxiesForURL(const URL& url, const SystemProxySettings& settings);

// Where the settings come from: the desktop's GSettings, or a schema folder
// with a private in-memory backend (tests write their values through it).
class ProxySettingsSource {
public:
  ProxySettingsSource();
  explicit ProxySettingsSource(const std::string& schemaDirectory);
  ~ProxySettingsSource();
  ProxySettingsSource(const ProxySettingsSource&) = delete;
  ProxySettingsSource& operator=(const ProxySettingsSource&) = delete;

  bool hasSchema() const { return settings_ != nullptr; }
  // Writes a value of the schema: key of the main schema, or "http/host" style for its children.
  bool setString(const std::string& key, const std::string& value);
  bool setInt(const std::string& key, int value);
  bool setStrings(const std::string& key, const std::vector<std::string>& values);

  // GNOME's settings when they name a mode other than "none", else the
  // environment's; nothing when a value set there can't be understood.
  // What was read is kept: a write through this source or a change of the
  // environment shows at once, one made by another process (the desktop's
  // settings window) within kDesktopRecheckSeconds.
  std::optional<SystemProxySettings> read() const;
  static constexpr double kDesktopRecheckSeconds = 1.0;

private:
  GSettings* child(const std::string& key, std::string* leaf) const;
  // The desktop's answer: nothing when its mode leaves the decision to the environment.
  std::optional<SystemProxySettings> readDesktop() const;
  void forgetDesktop();
  GSettingsSchemaSource* source_ = nullptr;
  GSettingsBackend* backend_ = nullptr;
  GSettings* settings_ = nullptr;

  struct Cache;
  std::unique_ptr<Cache> cache_;
};

// From the environment only; nothing when a variable set can't be parsed.
std::optional<SystemProxySettings> environmentProxySettings();

// The process's settings: the application's own proxy when it set one,
// else the shared source's (the desktop's unless a test set one).
std::optional<SystemProxySettings> copySystemProxySettings();
// The proxy the application itself was told to use (its settings window);
// nothing hands every request back to the desktop's settings.
void setApplicationProxySettings(std::optional<SystemProxySettings> settings);
std::optional<SystemProxySettings> applicationProxySettings();
void setProxySettingsSource(std::shared_ptr<ProxySettingsSource> source);

}  // namespace plat
