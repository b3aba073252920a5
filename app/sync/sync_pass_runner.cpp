// Tests only: one compare pass of a sync engine in a process of its own, so
// that a test can kill it with SIGKILL in the middle of a page. Arguments:
// sync parent, service host:port, user name, access token, refresh token,
// mount id. HOME comes from the environment. Prints "started" before the
// pass and "done" after it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/run_loop.h"

int main(int argc, char** argv) {
  if (argc < 7) return 2;
  plat::MainThread::setCurrentThreadAsMain();
  APIHosts::setAll(argv[2]);
  AppServices& app = AppServices::shared();
  app.setBHttps(false);
  app.setBLogin(true);
  app.setBLink(true);
  auto ud = std::make_shared<UserData>();
  ud->setUserName(argv[3]);
  ud->setTokens(argv[4], argv[5], 3600);
  const int64_t mount = std::strtoll(argv[6], nullptr, 10);
  ud->setMountID(mount);
  ud->setUserID(mount);
  app.setUserdata(ud);
  SyncManager m(argv[1], false, false);
  std::printf("started\n");
  std::fflush(stdout);
  m.receive_from_server();
  std::printf("done\n");
  std::fflush(stdout);
  return 0;
}
