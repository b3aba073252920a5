// One file of N MiB (1024 by default) in devcloud; downloaded three times
// each way from its content URL: ours with a flush of the target and of
// the bitmap after every block (as the client runs), ours without them,
// curl writing the same URL to a file, and curl followed by a sync of its
// file (ours is on disk when it ends), in the same run. Our time runs from
// run() to the checked "_ok" file: the file-API call, the scheduler's first
// pass and the SHA-1 check included.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "tests/support/DevCloudProcess.h"
#include "app/interface/HTTPEngine.h"
#include "app/trans/Download.h"
#include "bench/common/figure.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const uint64_t size = mib << 20;
  plat::MainThread::setCurrentThreadAsMain();
  const std::string home = plat::makeTemporaryDirectory("transdown");
  ::setenv("HOME", home.c_str(), 1);
  DevCloudProcess cloud(false);
  if (!cloud.started()) {
    std::printf("devcloud did not start\n");
    return 1;
  }
  APIHosts::setAll(cloud.hostPort());
  AppServices& app = AppServices::shared();
  app.setBHttps(false);
  const std::string name = "bench@example.test", password = "pw";
  cloud.hook("POST", "user", Value(Dictionary{{"username", Value(name)}, {"password", Value(password)}}));
  Dictionary f{{"path", Value("big.bin")}, {"size", Value(static_cast<int64_t>(size))}, {"seed", Value(3)}};
  auto made = cloud.hook("POST", "files", Value(Dictionary{{"username", Value(name)}, {"files", Value(Array{Value(f)})}}));
  if (!made) {
    std::printf("could not fill devcloud\n");
    return 1;
  }
  const std::string hash = (*made)["files"][size_t{0}]["filehash"].string();
  const std::string info = R"({"BRAND":"Quorva","VERSION":"Linux","DISPLAY":"bench","CLIENT_ID":")" +
                           std::string(HTTPEngine::kClientId) + "\"}";
  RetToken t = HTTPEngine::login(name, password, info, "C02BENCH");
  RetUserInfo ui = HTTPEngine::userinfo(t.accessToken);
  auto ud = std::make_shared<UserData>();
  ud->setTokens(t.accessToken, t.refreshToken, 3600);
  ud->setMountID(ui.mountid);
  app.setUserdata(ud);
  const RetReget where = HTTPEngine::reget(t.accessToken, "big.bin", ui.mountid);
  if (where.status != 200 || where.uri.empty()) {
    std::printf("no content URL\n");
    return 1;
  }

  DownloadParent parent;  // no manager
  auto ours = [&](bool flush) {
    TransItem job;
    job.itemid = 1;
    job.webpath = "big.bin";
    job.filehash = hash;
    job.filesize = size;
    job.path = home + "/cache/down_" + hash;
    auto d = std::make_shared<Download>(job, &parent);
    d->setblockflush(flush);
    const auto t0 = std::chrono::steady_clock::now();
    d->run();
    auto loop = plat::RunLoop::main();
    while (d->result() == Download::kRunning) loop->runInMode(plat::kDefaultRunLoopMode, 0.05, true);
    const double s = seconds(t0);
    d->join();
    const bool ok = d->result() == Download::kOk;
    plat::removeTree(job.path + "_ok");
    return ok ? static_cast<double>(size) / s / 1e6 : 0.0;
  };
  // curl alone leaves its file in the page cache; with `sync` after it the
  // file is on disk, as ours is before it is named "_ok".
  auto curl = [&](bool synced) {
    const std::string out = home + "/curl.bin";
    const std::string cmd =
        "curl -s -f -o '" + out + "' '" + where.uri + "'" + (synced ? " && sync '" + out + "'" : std::string());
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    const double s = seconds(t0);
    const bool ok = rc == 0 && plat::fileSize(out).value_or(0) == size;
    plat::removeTree(out);
    return ok ? static_cast<double>(size) / s / 1e6 : 0.0;
  };
  std::vector<double> flushed, unflushed, theirs, theirsSynced;
  for (int i = 0; i < 3; ++i) {
    theirs.push_back(curl(false));
    theirsSynced.push_back(curl(true));
    flushed.push_back(ours(true));
    unflushed.push_back(ours(false));
  }
  const double f1 = *std::max_element(flushed.begin(), flushed.end());
  const double f0 = *std::max_element(unflushed.begin(), unflushed.end());
  const double c = *std::max_element(theirs.begin(), theirs.end());
  const double cs = *std::max_element(theirsSynced.begin(), theirsSynced.end());
  std::printf("%llu MiB from devcloud: ours with per-block flushes %.1f MB/s (ratio %.2f, goal >= 0.8), "
              "without %.1f MB/s (ratio %.2f); curl to a file %.1f MB/s, curl then sync of its file %.1f MB/s\n",
              static_cast<unsigned long long>(mib), f1, c > 0 ? f1 / c : 0, f0, c > 0 ? f0 / c : 0, c, cs);
  const std::string what = std::to_string(mib) + " MiB download from devcloud";
  const std::string curlRef = "curl -s -f -o file";
  bool reported = qvbench::reportFigure({what + ", per-block flushes", f1, "MB/s", curlRef, c, ">=0.8"});
  reported = qvbench::reportFigure({what + ", no flushes", f0, "MB/s", curlRef, c, ">=0.8"}) && reported;
  // Ours is on disk when it ends (flushed before it is named "_ok"): the
  // same work for curl is the download and a sync of its file.
  reported = qvbench::reportFigure({what + ", per-block flushes", f1, "MB/s", curlRef + " && sync file", cs,
                                    ">=0.8"}) && reported;
  plat::removeTree(home);
  return reported && f1 > 0 && f0 > 0 && c > 0 ? 0 : 1;
}
