// Ingest of 100,000 changes: devcloud holds 100,000 new files of one user;
// the remote road pulls them (1,000 a page, 3 pages a pass) into a fresh
// sync database. Printed: the cost per change without the engine's pacing
// (passes back to back), the end-to-end time with it (a pass at once, then
// one every 30 s, as the run thread's timetable has them), and beside them
// the time of fetching the same pages without applying them and the
// reference of the rows the road stores for them written straight into the
// table, one transaction a page, both measured in the same run.
// No other tool does this job, so the summary lines take baselines instead
// of a reference tool: per change, the fetch alone plus the direct writes
// (what the road cannot avoid); end to end, the floor of the timetable
// (the fewest passes the page limits allow, 30 s apart).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "tests/support/DevCloudProcess.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "app/sync/SyncPath.h"
#include "bench/common/figure.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"

namespace {
constexpr int kChanges = 100000;
using plat::Array;
using plat::Dictionary;
using plat::Value;

// Built by appending: GCC 12 warns (-Wrestrict, falsely) on "d" + std::string.
std::string folderOf(int i) {
  std::string s = "d";
  s += std::to_string(i / 1000);
  return s;
}
std::string pathOf(int i) {
  std::string s = folderOf(i);
  s += "/f";
  s += std::to_string(i);
  return s;
}

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
  AppServices& app = AppServices::shared();
  app.setBHttps(false);
  app.setBLogin(true);
  app.setBLink(true);
  const std::string name = "bench@example.test", password = "pw";
  cloud.hook("POST", "user", Value(Dictionary{{"username", Value(name)}, {"password", Value(password)}}));
  for (int start = 0; start < kChanges; start += 10000) {
    Array files;
    for (int i = start; i < start + 10000; ++i) {
      files.push_back(Value(Dictionary{{"path", Value(pathOf(i))},
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
    // Only the passes are timed: the count that ends the loop is the
    // bench's, not the road's.
    while (rows < kChanges && passes < 100) {
      const auto t0 = std::chrono::steady_clock::now();
      m.receive_from_server();
      ingest += seconds(t0);
      ++passes;
      rows = m.syncdb()->getAllNeedSyncCount();
    }
  }
  // What the service part costs: the same pages fetched and read, nothing
  // applied. The pages are kept for the reference below.
  double fetch = 0;
  std::vector<std::vector<CompareItem>> pages;
  {
    const auto t0 = std::chrono::steady_clock::now();
    int64_t version = 0, dateline = 0;
    std::string key;
    for (;;) {
      RetCompare r = HTTPEngine::compare(ud->userToken(), "/", key, ud->mountID(), version, dateline);
      if (r.status != 200) break;
      version = r.version, dateline = r.dateline, key = r.changekey;
      const bool last = r.itemlist.size() < static_cast<size_t>(SyncManager::kPageSize);
      pages.push_back(std::move(r.itemlist));
      if (last) break;
    }
    fetch = seconds(t0);
  }
  // The reference: the rows the road stores for those changes, written
  // straight into a fresh table in the transactions the road must have (one
  // per page, as the cursor moves page by page).
  double reference = 0;
  {
    Syncdb db(home + "/reference.db");
    std::vector<std::vector<SyncFileItem>> rowsByPage;
    for (const auto& page : pages) {
      auto& out = rowsByPage.emplace_back();
      for (const auto& c : page) {
        SyncFileItem it;
        it.webpath = c.webpath;
        it.parent = syncpath::parentOf(c.webpath);
        it.filehash = c.filehash;
        it.membername = c.lastmembername;
        it.size = static_cast<uint64_t>(std::max<int64_t>(0, c.filesize));
        it.file = !(c.filehash.empty() && c.filesize == 0);
        it.status = syncstatus::toDownload;
        it.version = c.version;
        it.memberid = c.lastmemberid;
        it.lock = c.lock;
        out.push_back(std::move(it));
      }
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto& page : rowsByPage) db.add_new_files(page);
    reference = seconds(t0);
  }
  // The same number of rows in one transaction with one hash for all: the
  // reference of earlier runs, printed for comparison only.
  double oneTransaction = 0;
  {
    Syncdb db(home + "/reference1.db");
    std::vector<SyncFileItem> items;
    for (int i = 0; i < kChanges; ++i) {
      SyncFileItem it;
      it.webpath = pathOf(i);
      it.parent = folderOf(i);
      it.file = true;
      it.status = syncstatus::toDownload;
      it.filehash = std::string(40, 'a');
      items.push_back(std::move(it));
    }
    const auto t0 = std::chrono::steady_clock::now();
    db.add_new_files(items);
    oneTransaction = seconds(t0);
  }
  const double paced = (passes - 1) * SyncTimetable::kCompare + ingest;
  std::printf("\nRemote road, %d changes from devcloud in %d passes (rows to sync: %lld):\n", kChanges, passes,
              static_cast<long long>(rows));
  std::printf("per change, passes back to back   %8.1f us   rows written directly %8.1f us   ratio %.1fx\n",
              ingest * 1e6 / kChanges, reference * 1e6 / kChanges, ingest / reference);
  std::printf("of which fetching the pages alone   %8.1f us\n", fetch * 1e6 / kChanges);
  std::printf("rows written in one transaction, one hash for all (earlier reference)   %8.1f us\n",
              oneTransaction * 1e6 / kChanges);
  std::printf("end to end on the 30 s timetable  %8.1f s    (%d passes, the first at once)\n", paced, passes);
  constexpr int kPerPass = SyncManager::kPageSize * SyncManager::kCallsPerRoot;
  const int fewest = (kChanges + kPerPass - 1) / kPerPass;
  const double timetableFloor = (fewest - 1) * SyncTimetable::kCompare;
  const double unavoidable = (fetch + reference) * 1e6 / kChanges;
  bool reported = qvbench::reportFigure(
      {"remote road ingest per change, passes back to back", ingest * 1e6 / kChanges, "us",
       "baseline, no reference tool: same pages fetched + same rows written directly", unavoidable, "<=1.3"});
  reported = qvbench::reportFigure({"remote road 100,000 changes end to end on the 30 s timetable", paced, "s",
                                    "baseline, no reference tool: timetable floor of " + std::to_string(fewest) +
                                        " passes (computed)",
                                    timetableFloor, "<=1.3"}) &&
             reported;
  plat::removeTree(home);
  return rows >= kChanges && reported ? 0 : 1;
}
