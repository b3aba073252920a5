// Desktop notices: a short text that appears for a moment and may be
// clicked. The application posts every notice through one object of its own,
// which fills the fields; the bridge only hands them to the desktop. Any
// thread may post.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace plat {

struct Notice {
  std::string title;
  std::string description;
  std::string name;        // the kind of notice, as registered
  std::string identifier;  // notices with one identifier replace each other
  Data icon;               // image bytes; empty for the application's default
  int priority = 0;
  bool sticky = false;
  // Handed back when the notice is clicked; none for a notice that does
  // nothing when clicked.
  std::optional<std::string> context;
};

class NoticeBridge {
public:
  virtual ~NoticeBridge() = default;
  // False when the desktop did not take the notice (it is then dropped).
  virtual bool notify(const Notice& notice) = 0;
  // Called on the main thread with the context of a clicked notice.
  virtual void setClickHandler(std::function<void(const std::string& context)> handler) = 0;
};

}  // namespace plat
