#include "platform/system/folder_icon.h"

#include <gio/gio.h>

#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"

namespace plat {
namespace {
constexpr const char* kAttribute = "metadata::custom-icon";

// A trailing "/" and "." components don't make another folder.
std::string standardised(const std::string& path) {
  GFile* f = g_file_new_for_path(path.c_str());
  char* p = g_file_get_path(f);
  std::string out = p ? p : path;
  g_free(p);
  g_object_unref(f);
  return out;
}
}  // namespace

bool setFolderCustomIcon(const std::string& folder, const std::string& iconFile) {
  if (folder.empty() || iconFile.empty() || !isDirectory(folder)) return false;
  GFile* dir = g_file_new_for_path(standardised(folder).c_str());
  GFile* icon = g_file_new_for_path(iconFile.c_str());
  char* uri = g_file_get_uri(icon);
  GError* error = nullptr;
  const bool ok = g_file_set_attribute_string(dir, kAttribute, uri, G_FILE_QUERY_INFO_NONE, nullptr, &error);
  if (!ok) {
    log("folder icon of %@ not set: %@", folder, std::string(error ? error->message : "?"));
    g_clear_error(&error);
  }
  g_free(uri);
  g_object_unref(icon);
  g_object_unref(dir);
  return ok;
}

std::optional<std::string> folderCustomIcon(const std::string& folder) {
  GFile* dir = g_file_new_for_path(standardised(folder).c_str());
  GFileInfo* info = g_file_query_info(dir, kAttribute, G_FILE_QUERY_INFO_NONE, nullptr, nullptr);
  std::optional<std::string> out;
  if (info) {
    if (const char* v = g_file_info_get_attribute_string(info, kAttribute)) out = v;
    g_object_unref(info);
  }
  g_object_unref(dir);
  return out;
}

}  // namespace plat
