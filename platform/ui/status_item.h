// The application's face in the desktop's status area: an icon, an
// optional image turning over it while files sync, the count of unread
// messages beside it, and its menu. The controller decides what it shows; a
// toolkit only draws it. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/menu.h"
#include "platform/ui/window.h"

namespace plat {

struct StatusItemLook {
  std::string icon;        // image name, e.g. "blueStatusFinishIcon"
  std::string overlay;     // image turning over the icon; empty for none
  std::string countText;   // beside the icon; " " when there is nothing to count
  bool highlighted = false;  // drawn selected while its panel is open
  bool operator==(const StatusItemLook&) const = default;
};

class StatusItem {
public:
  virtual ~StatusItem() = default;
  virtual void show(const StatusItemLook& look) = 0;
  // A click (the primary button) on the item.
  virtual void setClickHandler(std::function<void()> handler) = 0;
  // The menu the desktop shows for the item (its secondary click).
  virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
  // Where the item is on the screen, as far as the desktop told us (the
  // place of the last click); none when it never said.
  virtual std::optional<Rect> globalRect() const = 0;
};

}  // namespace plat
