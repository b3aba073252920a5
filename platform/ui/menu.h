// A menu as the desktop shows it: entries with a title, an optional key,
// an action or a submenu, and separators. The application builds and
// changes menus; a view (the status item's exported menu, a pop-up in a
// window) reads them and runs their actions. Main thread only.
//
// Views learn of every change through one process-wide listener list: menus
// are few and small, and a view simply reads its tree again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

class Menu;

class MenuItem {
public:
  static std::shared_ptr<MenuItem> make(std::string title, std::function<void()> action = {},
                                        std::string keyEquivalent = {});
  static std::shared_ptr<MenuItem> separator();
  MenuItem(const MenuItem&) = delete;
  MenuItem& operator=(const MenuItem&) = delete;

  // Unique in the process and never 0 (the root of an exported menu).
  int id() const { return id_; }
  const std::string& title() const { return title_; }
  void setTitle(const std::string& title);
  bool isSeparator() const { return separator_; }
  const std::string& keyEquivalent() const { return key_; }
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  const std::shared_ptr<Menu>& submenu() const { return submenu_; }
  void setSubmenu(std::shared_ptr<Menu> submenu);
  void setAction(std::function<void()> action);
  bool hasAction() const { return static_cast<bool>(action_); }
  // What choosing the entry does; nothing for an entry without an action.
  void activate() const;

private:
  MenuItem() = default;
  int id_ = 0;
  std::string title_, key_;
  bool separator_ = false, enabled_ = true;
  std::function<void()> action_;
  std::shared_ptr<Menu> submenu_;
};

class Menu {
public:
  static std::shared_ptr<Menu> make();
  Menu(const Menu&) = delete;
  Menu& operator=(const Menu&) = delete;

  const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
  size_t size() const { return items_.size(); }
  void addItem(std::shared_ptr<MenuItem> item);
  // At `index`, or at the end when the menu is shorter.
  void insertItem(std::shared_ptr<MenuItem> item, size_t index);
  void removeAllItems();
  // The menu (or its item with this id, searched through submenus).
  std::shared_ptr<MenuItem> find(int id) const;
  // Run by a view just before it shows the menu (it may change the menu).
  void setWillOpen(std::function<void()> handler) { willOpen_ = std::move(handler); }
  void willOpen() const;

  // Every change of any menu or entry, after it happened.
  using ListenerId = uint64_t;
  static ListenerId addChangeListener(std::function<void()> listener);
  static void removeChangeListener(ListenerId id);
  static void changed();

private:
  Menu() = default;
  std::vector<std::shared_ptr<MenuItem>> items_;
  std::function<void()> willOpen_;
};

}  // namespace plat
