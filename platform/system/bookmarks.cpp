#include "platform/system/bookmarks.h"

#include <cstdlib>

#include "platform/foundation/file_util.h"
#include "platform/system/path_escape.h"
#include "platform/system/replaceable.h"

namespace plat {

namespace {

Replaceable<SidebarFavorites, GtkBookmarks> gFavorites;

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  auto text = readFile(path);
  if (!text) return lines;
  size_t pos = 0;
  while (pos < text->size()) {
    size_t nl = text->find('\n', pos);
    lines.push_back(text->substr(pos, nl == std::string::npos ? std::string::npos : nl - pos));
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return lines;
}

bool writeLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  if (!makeDirectories(pathDirname(path), 0700)) return false;
  return atomicWrite(path, text, 0644);
}

}  // namespace

std::string fileURIForPath(const std::string& path) { return "file://" + percentEscapePath(path); }

std::optional<std::string> pathOfBookmarkLine(const std::string& line) {
  std::string uri = line.substr(0, line.find(' '));
  const std::string prefix = "file://";
  if (uri.rfind(prefix, 0) != 0) return std::nullopt;
  std::string rest = uri.substr(prefix.size());
  if (rest.empty() || rest[0] != '/') return std::nullopt;  // a host part: not ours to open
  return percentUnescape(rest);
}

std::string GtkBookmarks::file() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  std::string base = configHome && configHome[0] == '/' ? std::string(configHome) : homeDirectory() + "/.config";
  return base + "/gtk-3.0/bookmarks";
}

bool GtkBookmarks::insertFirst(const std::string& folder) {
  std::string path = file();
  auto lines = readLines(path);
  lines.insert(lines.begin(), fileURIForPath(folder));
  return writeLines(path, lines);
}

std::vector<std::string> GtkBookmarks::folders() const {
  std::vector<std::string> out;
  for (const auto& l : readLines(file())) {
    if (auto p = pathOfBookmarkLine(l)) out.push_back(*p);
  }
  return out;
}

bool GtkBookmarks::remove(const std::string& folder) {
  std::string path = file();
  auto lines = readLines(path);
  for (size_t i = 0; i < lines.size(); ++i) {
    auto p = pathOfBookmarkLine(lines[i]);
    if (p && (*p == folder || *p + "/" == folder)) {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
      return writeLines(path, lines);
    }
  }
  return false;
}

std::shared_ptr<SidebarFavorites> sidebarFavorites() { return gFavorites.get(); }

void setSidebarFavorites(std::shared_ptr<SidebarFavorites> f) { gFavorites.set(std::move(f)); }

}  // namespace plat
