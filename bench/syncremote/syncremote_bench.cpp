// Ingest of 100,000 changes: devcloud holds 100,000 new files of one user;
// the remote road pulls them (1,000 a page, 3 pages a pass) into a fresh
// sync database. Printed: the cost per change without the engine's pacing
// (passes back to back), the end-to-end time with it (a pass at once, then
// one every 30 s, as the run thread's timetable has them), and beside them
// the reference of the same 100,000 rows written straight into the table
// in one transaction and the time of fetching the same pages without
// applying them, both measured in the same run.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/AppDelegate.h"
#include "app/UserData.h"
#include "app/interface/APIHosts.h"
#include "tests/support/DevCloudProcess.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"

namespace {
constexpr int kChanges = 100000;
using plat::Array;
using plat::Dictionary;
using plat::Value;

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

int main() {
  plat::MainThread::setCurrentThreadAsMain();
  const std::string home = plat::makeTemporaryDirectory("syncremote");
  ::setenv("HOME", home.c_str(), 1);
  DevCloudProcess cloud(false);
  if (!cloud.started()) {
    std::printf("devcloud did not start\n");
    return 1;
  }
  APIHosts::setAll(cloud.hostPort());
  AppDelegate& app = AppDelegate::shared();
  app.setBHttps(false);
  app.setBLogin(true);
  app.setBLink(true);
  const std::string name = "bench@example.test", password = "pw";
  cloud.hook("POST", "user", Value(Dictionary{{"username", Value(name)}, {"password", Value(password)}}));
  for (int start = 0; start < kChanges; start += 10000) {
    Array files;
    for (int i = start; i < start + 10000; ++i) {
      files.push_back(Value(Dictionary{{"path", Value("d" + std::to_string(i / 1000) + "/f" + std::to_string(i))},
                                       {"text", Value(std::to_string(i))}}));
    }
    if (!cloud.hook("POST", "files", Value(Dictionary{{"username", Value(name)}, {"files", Value(files)}}))) {
      std::printf("could not fill devcloud\n");
      return 1;
    }
  }
  const std::string info = R"({"BRAND":"Quorva","VERSION":"Linux","DISPLAY":"bench","CLIENT_ID":")" +
                           std::string(HTTPEngine::kClientId) + "\"}";
  RetToken t = HTTPEngine::login(name, password, info, "C02BENCH");
  RetUserInfo ui = HTTPEngine::userinfo(t.accessToken);
  auto ud = std::make_shared<UserData>();
  ud->setUserName(name);
  ud->setTokens(t.accessToken, t.refreshToken, 3600);
  ud->setMountID(ui.mountid);
  ud->setUserID(ui.mountid);
  app.setUserdata(ud);

  int passes = 0;
  double ingest = 0;
  int64_t rows = 0;
  {
    SyncManager m(home + "/Quorva/", false, false);
    const auto t0 = std::chrono::steady_clock::now();
    while (rows < kChanges && passes < 100) {
      m.receive_from_server();
      ++passes;
      rows = m.syncdb()->getAllNeedSyncCount();
    }
    ingest = seconds(t0);
  }
  // What the service part costs: the same pages fetched and read, nothing applied.
  double fetch = 0;
  {
    const auto t0 = std::chrono::steady_clock::now();
    int64_t version = 0, dateline = 0;
    std::string key;
    for (;;) {
      RetCompare r = HTTPEngine::compare(ud->userToken(), "/", key, ud->mountID(), version, dateline);
      if (r.status != 200) break;
      version = r.version, dateline = r.dateline, key = r.changekey;
      if (r.itemlist.size() < 1000) break;
    }
    fetch = seconds(t0);
  }
  // The reference: the same rows written straight into a fresh table.
  double reference = 0;
  {
    Syncdb db(home + "/reference.db");
    std::vector<SyncFileItem> items;
    for (int i = 0; i < kChanges; ++i) {
      SyncFileItem it;
      it.webpath = "d" + std::to_string(i / 1000) + "/f" + std::to_string(i);
      it.parent = "d" + std::to_string(i / 1000);
      it.file = true;
      it.status = 5;
      it.filehash = std::string(40, 'a');
      items.push_back(std::move(it));
    }
    const auto t0 = std::chrono::steady_clock::now();
    db.add_new_files(items);
    reference = seconds(t0);
  }
  const double paced = (passes - 1) * SyncTimetable::kCompare + ingest;
  std::printf("\nRemote road, %d changes from devcloud in %d passes (rows to sync: %lld):\n", kChanges, passes,
              static_cast<long long>(rows));
  std::printf("per change, passes back to back   %8.1f us   rows written directly %8.1f us   ratio %.1fx\n",
              ingest * 1e6 / kChanges, reference * 1e6 / kChanges, ingest / reference);
  std::printf("of which fetching the pages alone   %8.1f us\n", fetch * 1e6 / kChanges);
  std::printf("end to end on the 30 s timetable  %8.1f s    (%d passes, the first at once)\n", paced, passes);
  plat::removeTree(home);
  return rows >= kChanges ? 0 : 1;
}
