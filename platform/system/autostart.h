// The application's login item, as a freedesktop autostart entry: a desktop
// file in $XDG_CONFIG_HOME/autostart (~/.config/autostart) that the session
// starts at login. An entry belongs to the application when its Exec line
// starts the application's program; entries marked Hidden=true count as
// removed, as the desktop treats them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat {

class LoginItems {
public:
  virtual ~LoginItems() = default;
  // Adds an entry that starts `program`; each call adds one.
  virtual bool add(const std::string& name, const std::string& program) = 0;
  // Whether an entry starts `program`.
  virtual bool find(const std::string& program) const = 0;
  // Removes the first entry (in name order) that starts `program`; false
  // when there was none or it could not be removed.
  virtual bool remove(const std::string& program) = 0;
};

class AutostartEntries : public LoginItems {
public:
  bool add(const std::string& name, const std::string& program) override;
  bool find(const std::string& program) const override;
  bool remove(const std::string& program) override;

  // Looked up at each call, so a change of HOME or XDG_CONFIG_HOME is seen.
  static std::string directory();
  // The desktop files of the folder that start `program`, in name order.
  static std::vector<std::string> entriesFor(const std::string& program);
};

// Desktop-entry text of one autostart entry for `program`.
std::string autostartDesktopEntry(const std::string& name, const std::string& program);
// The program that a desktop entry's Exec line starts (the first word,
// unquoted); empty when the text has no usable Exec or is Hidden.
std::optional<std::string> desktopEntryProgram(const std::string& text);

std::shared_ptr<LoginItems> loginItems();
void setLoginItems(std::shared_ptr<LoginItems> items);

}  // namespace plat
