// One entry of the plug-in's submenu: its title and its status bits (0x10
// files, 0x20 folders; 0x100 synced, 0x200 locked, 0x400 being edited, 0x800
// a synced folder kept locally).
#pragma once

#include <cstdint>
#include <string>

namespace finder {

struct QuorvaMenuItem {
  std::string title;
  int64_t status = 0;
};

}  // namespace finder
