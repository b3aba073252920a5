// Notifications between parts of one process ("UdpAddPeer",
// "FileListNotification", "MoveFileNotification"...). Observers are called on
// the posting thread, in the order they were added.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace plat {

struct Notification {
  std::string name;
  Value object;
  Dictionary userInfo;
  // An object that is no Value: a record of the poster's own type (the
  // listing notification carries its FileListItem records here).
  std::any payload;
};

class NotificationCenter {
public:
  using Token = uint64_t;
  using Observer = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  // An empty name observes every notification.
  Token addObserver(std::string name, Observer observer);
  // After this returns the observer is not called again (a call already
  // running on another thread may still finish).
  void removeObserver(Token token);
  void post(const std::string& name, Value object = {}, Dictionary userInfo = {}, std::any payload = {});

private:
  struct Entry {
    Token token;
    std::string name;
    std::shared_ptr<Observer> observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  Token next_ = 1;
};

// Removes its observer when it goes away.
class ScopedObserver {
public:
  ScopedObserver() = default;
  ScopedObserver(std::string name, NotificationCenter::Observer o, NotificationCenter& c = NotificationCenter::defaultCenter())
      : center_(&c), token_(c.addObserver(std::move(name), std::move(o))) {}
  ~ScopedObserver() { reset(); }
  ScopedObserver(ScopedObserver&& o) noexcept : center_(o.center_), token_(o.token_) { o.center_ = nullptr; }
  ScopedObserver& operator=(ScopedObserver&& o) noexcept {
    if (this != &o) {
      reset();
      center_ = o.center_;
      token_ = o.token_;
      o.center_ = nullptr;
    }
    return *this;
  }
  void reset() {
    if (center_) center_->removeObserver(token_);
    center_ = nullptr;
  }

private:
  NotificationCenter* center_ = nullptr;
  NotificationCenter::Token token_ = 0;
};

}  // namespace plat
