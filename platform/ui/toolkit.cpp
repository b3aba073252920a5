#include "platform/ui/toolkit.h"

#include <mutex>

namespace plat {

namespace {
std::mutex currentMutex;
std::shared_ptr<Toolkit> currentToolkit;
}  // namespace

std::shared_ptr<Toolkit> Toolkit::current() {
  std::lock_guard<std::mutex> l(currentMutex);
  return currentToolkit;
}

void Toolkit::setCurrent(std::shared_ptr<Toolkit> toolkit) {
  std::lock_guard<std::mutex> l(currentMutex);
  currentToolkit = std::move(toolkit);
}

}  // namespace plat
