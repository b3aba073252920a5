// The changes inside folders, read from one inotify descriptor. Plain and
// small: folders are added and removed by the caller, events come back with
// the folder's watch and the entry's name, and the caller polls fd() (a run
// loop source) to know when to read them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace plat {

class InotifyWatch {
public:
  // What a caller usually wants of a folder: entries written, made, removed,
  // renamed in or out, and their attributes.
  static constexpr uint32_t kDefaultMask = 0x00000002 /*IN_MODIFY*/ | 0x00000004 /*IN_ATTRIB*/ |
                                           0x00000008 /*IN_CLOSE_WRITE*/ | 0x00000040 /*IN_MOVED_FROM*/ |
                                           0x00000080 /*IN_MOVED_TO*/ | 0x00000100 /*IN_CREATE*/ |
                                           0x00000200 /*IN_DELETE*/;

  struct Event {
    int watch = -1;     // the folder's watch
    uint32_t mask = 0;  // inotify bits (IN_Q_OVERFLOW with watch -1: events were lost)
    uint32_t cookie = 0;
    std::string name;   // entry inside the folder; empty for the folder itself
  };

  static std::unique_ptr<InotifyWatch> create(Error* error = nullptr);
  ~InotifyWatch();
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

  // The watch of the folder (the same one when added twice), -1 on failure.
  int addFolder(const std::string& path, uint32_t mask = kDefaultMask, Error* error = nullptr);
  void removeFolder(int watch);

  // Everything queued now, without waiting.
  std::vector<Event> readEvents();
  int fd() const { return fd_; }

private:
  explicit InotifyWatch(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace plat
