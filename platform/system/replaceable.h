// The process-wide instance of a platform service: made on first use as
// `Default`, and replaceable (a test puts its own in, nullptr brings the
// default back). Any thread may ask for it.
#pragma once

#include <memory>
#include <mutex>

namespace plat {

template <class Interface, class Default>
class Replaceable {
public:
  std::shared_ptr<Interface> get() {
    std::lock_guard<std::mutex> l(mutex_);
    if (!instance_) instance_ = std::make_shared<Default>();
    return instance_;
  }
  void set(std::shared_ptr<Interface> instance) {
    std::lock_guard<std::mutex> l(mutex_);
    instance_ = std::move(instance);
  }

private:
  std::mutex mutex_;
  std::shared_ptr<Interface> instance_;
};

}  // namespace plat
