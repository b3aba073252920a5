// The application's face in the desktop's status area: an icon, an
// optional image turning over it while files sync, and the count of unread
// messages beside it. The controller decides what it shows; a toolkit only
// draws it. Main thread only.
#pragma once

#include <functional>
#include <string>

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
  // A click (either button) on the item.
  virtual void setClickHandler(std::function<void()> handler) = 0;
};

}  // namespace plat
