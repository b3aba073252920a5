// Tests only: one Upload in a process of its own, so that a test can kill it
// with SIGKILL between pieces. Arguments: service host:port, user name,
// access token, mount id, local file, cloud path, transfer cache folder,
// sync database. HOME comes from the environment. Prints "done <code>".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "app/trans/Upload.h"
#include "app/trans/trans_test_util.h"
#include "platform/foundation/run_loop.h"

int main(int argc, char** argv) {
  if (argc < 9) return 2;
  plat::MainThread::setCurrentThreadAsMain();
  APIHosts::setAll(argv[1]);
  AppServices& app = AppServices::shared();
  app.setBHttps(false);
  app.setBLogin(true);
  auto ud = std::make_shared<UserData>();
  ud->setUserName(argv[2]);
  ud->setTokens(argv[3], "", 3600);
  ud->setMountID(std::strtoll(argv[4], nullptr, 10));
  app.setUserdata(ud);
  auto sync = std::make_shared<transtest::ScriptedHandoff>(argv[8]);
  TransManager manager(sync);
  TransItem job;
  job.itemid = 1;
  job.type = 1;
  job.path = argv[5];
  job.webpath = argv[6];
  job.cachepath = std::string(argv[7]);
  auto t = std::static_pointer_cast<Upload>(manager.addupload(job));
  transtest::waitFor([&] { return manager.uploadCount() == 0; }, 600);
  manager.reap();
  std::printf("done %lld\n", static_cast<long long>(t->errorcode()));
  return 0;
}
