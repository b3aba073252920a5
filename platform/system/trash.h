// The desktop's Trash, as freedesktop.org specifies it: an item moved to the
// Trash goes to <trash>/files/<name> with its origin and deletion time in
// <trash>/info/<name>.trashinfo, so the file manager can put it back. The
// home trash is $XDG_DATA_HOME/Trash (~/.local/share/Trash); an item on
// another file system goes to the trash at the top of that file system
// ($topdir/.Trash/$uid when an administrator prepared it, else
// $topdir/.Trash-$uid).
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/error.h"

namespace plat {

class Trash {
public:
  virtual ~Trash() = default;
  // Moves the item (a file, a folder with its contents, or a link itself) to
  // the Trash. `trashedPath` receives where it went.
  virtual bool moveToTrash(const std::string& path, std::string* trashedPath = nullptr, Error* error = nullptr) = 0;
};

class FreedesktopTrash : public Trash {
public:
  // The home trash is looked up at each call, so a change of HOME or
  // XDG_DATA_HOME is seen.
  bool moveToTrash(const std::string& path, std::string* trashedPath = nullptr, Error* error = nullptr) override;

  static std::string homeTrashDirectory();
};

// The percent-escaped form of a path used in the "Path=" key.
std::string trashInfoEscape(const std::string& path);

std::shared_ptr<Trash> trash();
void setTrash(std::shared_ptr<Trash> t);

}  // namespace plat
