// GetMoveFileTask: moves the whole sync parent folder to a new place on the
// application's task queue. The sync engine is stopped, the tree is moved
// in one step or copied (links re-created as links), the copy is checked
// whole, and only then is every stored copy of the path switched over and
// the old tree deleted; the engine is started again whatever the outcome.
// Progress goes out as "MoveFileNotification" with a text: "1".."99" while
// copying, "100" once the new place is in force, "-1" when the old place
// stays in force. Posted on the task's thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/foundation/operation_queue.h"

class GetMoveFileTask : public plat::Operation {
public:
  static constexpr const char* kNotification = "MoveFileNotification";

  explicit GetMoveFileTask(std::string rootPath);
  void main() override;
  std::string rootPath() const;
  void setRootPath(std::string path);

  // Why the sync parent may not go to `target` ("" when it may): the same
  // folder, inside it or holding it, or a folder that already holds files.
  static std::string refusal(const std::string& oldParent, const std::string& target);
  // After main: the new place is in force.
  bool succeeded() const { return succeeded_.load(); }

private:
  static void post(const std::string& progress);
  // Copies old to fresh with progress; false at the first failure.
  static bool copyTree(const std::string& old, const std::string& fresh);

  mutable std::mutex mutex_;
  std::string rootPath_;
  std::atomic<bool> succeeded_{false};
};
