#include "platform/system/bookmarks.h"

#include <cstdlib>
#include <mutex>

#include "platform/foundation/file_util.h"

namespace plat {

namespace {

std::mutex gMutex;
std::shared_ptr<SidebarFavorites> gFavorites;

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

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string fileURIForPath(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                c == '-' || c == '_' || c == '.' || c == '~';
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::optional<std::string> pathOfBookmarkLine(const std::string& line) {
  std::string uri = line.substr(0, line.find(' '));
  const std::string prefix = "file://";
  if (uri.rfind(prefix, 0) != 0) return std::nullopt;
  std::string rest = uri.substr(prefix.size());
  if (rest.empty() || rest[0] != '/') return std::nullopt;  // a host part: not ours to open
  std::string out;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%') {
      int hi = i + 1 < rest.size() ? hexValue(rest[i + 1]) : -1;
      int lo = i + 2 < rest.size() ? hexValue(rest[i + 2]) : -1;
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(rest[i]);
    }
  }
  return out;
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

std::shared_ptr<SidebarFavorites> sidebarFavorites() {
  std::lock_guard<std::mutex> l(gMutex);
  if (!gFavorites) gFavorites = std::make_shared<GtkBookmarks>();
  return gFavorites;
}

void setSidebarFavorites(std::shared_ptr<SidebarFavorites> f) {
  std::lock_guard<std::mutex> l(gMutex);
  gFavorites = std::move(f);
}

}  // namespace plat
