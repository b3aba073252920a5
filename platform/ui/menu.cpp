#include "platform/ui/menu.h"

#include <algorithm>
#include <atomic>
#include <map>

namespace plat {

namespace {
std::atomic<int> nextId{1};
std::map<Menu::ListenerId, std::function<void()>>& listeners() {
  static std::map<Menu::ListenerId, std::function<void()>> l;
  return l;
}
Menu::ListenerId nextListener = 1;
}  // namespace

std::shared_ptr<MenuItem> MenuItem::make(std::string title, std::function<void()> action, std::string keyEquivalent) {
  std::shared_ptr<MenuItem> item(new MenuItem());
  item->id_ = nextId++;
  item->title_ = std::move(title);
  item->action_ = std::move(action);
  item->key_ = std::move(keyEquivalent);
  return item;
}

std::shared_ptr<MenuItem> MenuItem::separator() {
  auto item = make("");
  item->separator_ = true;
  return item;
}

void MenuItem::setTitle(const std::string& title) {
  if (title == title_) return;
  title_ = title;
  Menu::changed();
}

void MenuItem::setEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Menu::changed();
}

void MenuItem::setSubmenu(std::shared_ptr<Menu> submenu) {
  submenu_ = std::move(submenu);
  Menu::changed();
}

void MenuItem::setAction(std::function<void()> action) { action_ = std::move(action); }

void MenuItem::activate() const {
  // A copy: the action may rebuild the menu that holds this entry.
  auto action = action_;
  if (action && enabled_ && !separator_) action();
}

std::shared_ptr<Menu> Menu::make() { return std::shared_ptr<Menu>(new Menu()); }

void Menu::addItem(std::shared_ptr<MenuItem> item) {
  items_.push_back(std::move(item));
  changed();
}

void Menu::insertItem(std::shared_ptr<MenuItem> item, size_t index) {
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(std::min(index, items_.size())), std::move(item));
  changed();
}

void Menu::removeAllItems() {
  items_.clear();
  changed();
}

std::shared_ptr<MenuItem> Menu::find(int id) const {
  for (const auto& item : items_) {
    if (item->id() == id) return item;
    if (item->submenu()) {
      if (auto found = item->submenu()->find(id)) return found;
    }
  }
  return nullptr;
}

void Menu::willOpen() const {
  auto handler = willOpen_;
  if (handler) handler();
}

Menu::ListenerId Menu::addChangeListener(std::function<void()> listener) {
  const ListenerId id = nextListener++;
  listeners()[id] = std::move(listener);
  return id;
}

void Menu::removeChangeListener(ListenerId id) { listeners().erase(id); }

void Menu::changed() {
  // A listener may add or remove listeners: call a copy.
  auto copy = listeners();
  for (auto& [id, listener] : copy) listener();
}

}  // namespace plat
