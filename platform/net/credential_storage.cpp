#include "platform/net/credential_storage.h"

#include <gio/gio.h>
#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "platform/system/path_escape.h"

namespace plat {

namespace {

// One line per credential: proxy, host, port, protocol, realm, user,
// password, each percent-escaped, separated by tabs.
struct Line {
  ProtectionSpace space;
  URLCredential credential;
};

std::vector<Line> readLines(const std::string& path) {
  std::vector<Line> out;
  auto text = readFile(path);
  if (!text) return out;
  std::istringstream in(*text);
  std::string row;
  while (std::getline(in, row)) {
    std::vector<std::string> f;
    size_t at = 0;
    for (;;) {
      size_t tab = row.find('\t', at);
      auto v = percentUnescape(row.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
      f.push_back(v.value_or(""));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    if (f.size() != 7) continue;  // a damaged line is skipped, the rest still serve
    Line l;
    l.space.proxy = f[0] == "1";
    l.space.host = f[1];
    l.space.port = std::atoi(f[2].c_str());
    l.space.protocol = f[3];
    l.space.realm = f[4];
    l.credential = {f[5], f[6]};
    out.push_back(std::move(l));
  }
  return out;
}

bool writeLines(const std::string& path, const std::vector<Line>& lines) {
  std::string text;
  for (const auto& l : lines) {
    text += std::string(l.space.proxy ? "1" : "0") + "\t" + percentEscapePath(l.space.host) + "\t" +
            std::to_string(l.space.port) + "\t" + percentEscapePath(l.space.protocol) + "\t" +
            percentEscapePath(l.space.realm) + "\t" + percentEscapePath(l.credential.user) + "\t" +
            percentEscapePath(l.credential.password) + "\n";
  }
  std::string dir = pathDirname(path);
  if (!isDirectory(dir) && !makeDirectories(dir, 0700)) return false;
  Error e;
  if (!atomicWrite(path, text, 0600, &e)) {
    log("credential store: %@", e.localizedDescription());
    return false;
  }
  return true;
}

// --- the desktop's secret service ------------------------------------------------

const SecretSchema* schema() {
  static const SecretSchema s = {"org.quorva.Credential",
                                 SECRET_SCHEMA_NONE,
                                 {{"host", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER},
                                  {"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"realm", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"proxy", SECRET_SCHEMA_ATTRIBUTE_BOOLEAN},
                                  {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &s;
}

GHashTable* attributesFor(const ProtectionSpace& s) {
  GHashTable* a = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
  g_hash_table_insert(a, const_cast<char*>("host"), g_strdup(s.host.c_str()));
  g_hash_table_insert(a, const_cast<char*>("port"), g_strdup(std::to_string(s.port).c_str()));
  g_hash_table_insert(a, const_cast<char*>("protocol"), g_strdup(s.protocol.c_str()));
  g_hash_table_insert(a, const_cast<char*>("realm"), g_strdup(s.realm.c_str()));
  g_hash_table_insert(a, const_cast<char*>("proxy"), g_strdup(s.proxy ? "true" : "false"));
  return a;
}

class SecretServiceCredentialStorage : public CredentialStorage {
public:
  bool setDefaultCredential(const URLCredential& c, const ProtectionSpace& s) override {
    removeCredential(s);  // one default per space
    GHashTable* a = attributesFor(s);
    g_hash_table_insert(a, const_cast<char*>("user"), g_strdup(c.user.c_str()));
    GError* err = nullptr;
    std::string label = "Quorva: " + c.user + "@" + s.host;
    bool ok = secret_password_storev_sync(schema(), a, SECRET_COLLECTION_DEFAULT, label.c_str(), c.password.c_str(),
                                          nullptr, &err);
    g_hash_table_unref(a);
    if (err) g_error_free(err);
    return ok;
  }

  std::optional<URLCredential> defaultCredential(const ProtectionSpace& s) override {
    GHashTable* a = attributesFor(s);
    GError* err = nullptr;
    GList* items = secret_password_searchv_sync(
        schema(), a, static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS), nullptr, &err);
    g_hash_table_unref(a);
    if (err) g_error_free(err);
    std::optional<URLCredential> out;
    if (items) {
      auto* item = static_cast<SecretRetrievable*>(items->data);
      GHashTable* attrs = secret_retrievable_get_attributes(item);
      SecretValue* v = secret_retrievable_retrieve_secret_sync(item, nullptr, nullptr);
      const char* user = attrs ? static_cast<const char*>(g_hash_table_lookup(attrs, "user")) : nullptr;
      if (v && user) out = URLCredential{user, secret_value_get_text(v) ? secret_value_get_text(v) : ""};
      if (v) secret_value_unref(v);
      if (attrs) g_hash_table_unref(attrs);
      g_list_free_full(items, g_object_unref);
    }
    return out;
  }

  void removeCredential(const ProtectionSpace& s) override {
    GHashTable* a = attributesFor(s);
    GError* err = nullptr;
    secret_password_clearv_sync(schema(), a, nullptr, &err);
    g_hash_table_unref(a);
    if (err) g_error_free(err);
  }
};

std::mutex sharedMutex;
std::shared_ptr<CredentialStorage> sharedStorage;

std::string defaultFilePath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base = data && *data ? data : pathJoin(homeDirectory(), ".local/share");
  return pathJoin(pathJoin(base, "Quorva"), "credentials");
}

}  // namespace

bool secretServiceIsRunning() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!bus || !*bus) return false;
  GError* err = nullptr;
  GDBusConnection* c = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
  if (!c) {
    if (err) g_error_free(err);
    return false;
  }
  GVariant* r = g_dbus_connection_call_sync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                            "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"),
                                            G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &err);
  bool owned = false;
  if (r) {
    gboolean b = FALSE;
    g_variant_get(r, "(b)", &b);
    owned = b;
    g_variant_unref(r);
  }
  if (err) g_error_free(err);
  g_object_unref(c);
  return owned;
}

std::shared_ptr<CredentialStorage> CredentialStorage::shared() {
  std::lock_guard l(sharedMutex);
  if (!sharedStorage) {
    if (secretServiceIsRunning()) {
      sharedStorage = std::make_shared<SecretServiceCredentialStorage>();
    } else {
      sharedStorage = std::make_shared<FileCredentialStorage>(defaultFilePath());
    }
  }
  return sharedStorage;
}

void CredentialStorage::setShared(std::shared_ptr<CredentialStorage> storage) {
  std::lock_guard l(sharedMutex);
  sharedStorage = std::move(storage);
}

bool FileCredentialStorage::setDefaultCredential(const URLCredential& credential, const ProtectionSpace& space) {
  std::lock_guard l(mutex_);
  auto lines = readLines(path_);
  std::erase_if(lines, [&](const Line& x) { return x.space == space; });
  lines.push_back({space, credential});
  return writeLines(path_, lines);
}

std::optional<URLCredential> FileCredentialStorage::defaultCredential(const ProtectionSpace& space) {
  std::lock_guard l(mutex_);
  for (const auto& x : readLines(path_)) {
    if (x.space == space) return x.credential;
  }
  return std::nullopt;
}

void FileCredentialStorage::removeCredential(const ProtectionSpace& space) {
  std::lock_guard l(mutex_);
  auto lines = readLines(path_);
  size_t before = lines.size();
  std::erase_if(lines, [&](const Line& x) { return x.space == space; });
  if (lines.size() != before) writeLines(path_, lines);
}

}  // namespace plat
