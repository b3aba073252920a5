#include "platform/foundation/notification_center.h"

#include <algorithm>

namespace plat {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
  std::lock_guard<std::mutex> l(mutex_);
  Token t = next_++;
  entries_.push_back(Entry{t, std::move(name), std::make_shared<Observer>(std::move(observer))});
  return t;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard<std::mutex> l(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; }),
                 entries_.end());
}

void NotificationCenter::post(const std::string& name, Value object, Dictionary userInfo, std::any payload) {
  std::vector<std::pair<Token, std::shared_ptr<Observer>>> targets;
  {
    std::lock_guard<std::mutex> l(mutex_);
    for (const auto& e : entries_) {
      if (e.name.empty() || e.name == name) targets.emplace_back(e.token, e.observer);
    }
  }
  const Notification n{name, std::move(object), std::move(userInfo), std::move(payload)};
  for (auto& target : targets) {
    const Token token = target.first;
    // An observer removed by an earlier one in this post is skipped.
    bool alive;
    {
      std::lock_guard<std::mutex> l(mutex_);
      alive = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
    }
    if (alive) (*target.second)(n);
  }
}

}  // namespace plat
