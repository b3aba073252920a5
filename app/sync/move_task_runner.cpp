// Tests only: the sync-folder move in a process of its own, so that a test
// can kill it with SIGKILL in the middle of the copy. Arguments: the sync
// parent, the new place. HOME comes from the environment. Prints each
// progress text on a line of its own as it is posted.
#include <cstdio>
#include <memory>

#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/sync/GetMoveFileTask.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/run_loop.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  plat::MainThread::setCurrentThreadAsMain();
  AppServices& app = AppServices::shared();
  app.setBLink(false);
  auto ud = std::make_shared<UserData>();
  ud->setUserID(7);
  ud->setMountID(70);
  app.setUserdata(ud);
  auto sync = std::make_shared<SyncManager>(argv[1], false, false);
  app.setSync(sync);
  plat::ScopedObserver progress(GetMoveFileTask::kNotification, [](const plat::Notification& n) {
    std::printf("%s\n", n.object.string().c_str());
    std::fflush(stdout);
  });
  auto task = std::make_shared<GetMoveFileTask>(argv[2]);
  task->start();
  sync->exit();
  app.setSync(nullptr);
  return task->succeeded() ? 0 : 1;
}
