// The file manager's sidebar favourites: the GTK bookmarks file
// ($XDG_CONFIG_HOME/gtk-3.0/bookmarks, ~/.config/gtk-3.0/bookmarks), one
// "file://" URI a line, optionally followed by a blank and a label. Lines we
// don't understand (other schemes, comments) are kept as they are.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat {

class SidebarFavorites {
public:
  virtual ~SidebarFavorites() = default;
  // Puts the folder at the top of the list.
  virtual bool insertFirst(const std::string& folder) = 0;
  // The folders of the list, in order; entries that are no local folder are
  // passed over.
  virtual std::vector<std::string> folders() const = 0;
  // Removes the first entry whose folder is `folder`, or `folder` without
  // its trailing "/"; false when there was none or the list can't be written.
  virtual bool remove(const std::string& folder) = 0;
};

class GtkBookmarks : public SidebarFavorites {
public:
  bool insertFirst(const std::string& folder) override;
  std::vector<std::string> folders() const override;
  bool remove(const std::string& folder) override;

  // Looked up at each call, so a change of HOME or XDG_CONFIG_HOME is seen.
  static std::string file();
};

// "file:///a%20b" for "/a b".
std::string fileURIForPath(const std::string& path);
// The path of a bookmark line ("file:///a%20b label"); empty for other lines.
std::optional<std::string> pathOfBookmarkLine(const std::string& line);

std::shared_ptr<SidebarFavorites> sidebarFavorites();
void setSidebarFavorites(std::shared_ptr<SidebarFavorites> f);

}  // namespace plat
