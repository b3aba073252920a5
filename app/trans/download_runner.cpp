// Tests only: one download in a process of its own, so that a test can kill
// it with SIGKILL in the middle. Arguments: host:port, token, mount id,
// cloud path, content hash, size, target path. Exits with the result code.
#include <cstdlib>
#include <memory>
#include <string>

#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "app/trans/Download.h"
#include "platform/foundation/run_loop.h"

int main(int argc, char** argv) {
  if (argc != 8) return 2;
  plat::MainThread::setCurrentThreadAsMain();
  APIHosts::setAll(argv[1]);
  AppServices::shared().setBHttps(false);
  auto ud = std::make_shared<UserData>();
  ud->setTokens(argv[2], "", 3600);
  ud->setMountID(std::atoll(argv[3]));
  AppServices::shared().setUserdata(ud);
  TransItem job;
  job.itemid = 1;
  job.webpath = argv[4];
  job.filehash = argv[5];
  job.filesize = std::strtoull(argv[6], nullptr, 10);
  job.path = argv[7];
  DownloadParent parent;  // no manager
  auto download = std::make_shared<Download>(job, &parent);
  if (!download->run()) return 3;
  auto loop = plat::RunLoop::main();
  while (download->result() == Download::kRunning) loop->runInMode(plat::kDefaultRunLoopMode, 0.05, true);
  download->join();
  return download->result() == Download::kOk ? 0 : 1;
}
