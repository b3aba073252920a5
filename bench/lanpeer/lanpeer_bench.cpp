// One file of N MiB (1024 by default) held whole by a LAN file service on
// loopback; downloaded three times each way from the peer URL discovery
// would hand out: ours (a Download with that peer as its only source, the
// file API unreachable), from run() to the checked "_ok" file, with the
// flush after every block (as the client runs) and without, and curl
// writing the same URL from the same listener to a file, alone and followed
// by a sync of its file (ours is on disk when it ends), in the same run.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/APIHosts.h"
#include "app/trans/Download.h"
#include "app/trans/lan/HttpThread.h"
#include "app/trans/lan/LanWire.h"
#include "app/trans/lan/lan_test_util.h"
#include "bench/common/figure.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"

namespace {

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Pseudo-random content written a MiB at a time.
bool writeFile(const std::string& path, uint64_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::mt19937_64 rng(5);
  std::vector<uint64_t> buf(1 << 17);
  for (uint64_t left = size; left > 0;) {
    for (auto& w : buf) w = rng();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf.size() * 8));
    if (std::fwrite(buf.data(), 1, n, f) != n) return std::fclose(f), false;
    left -= n;
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const uint64_t size = mib << 20;
  plat::MainThread::setCurrentThreadAsMain();
  const std::string home = plat::makeTemporaryDirectory("lanpeer");
  ::setenv("HOME", home.c_str(), 1);
  const std::string file = home + "/held.bin";
  if (!writeFile(file, size)) {
    std::printf("could not write the file\n");
    return 1;
  }
  const std::string hash = Util::getfilehash(file).value_or("");
  auto client = std::make_shared<lantest::FolderClient>();
  client->addWhole(hash, file);
  HttpThread::Options o;
  o.httpPort = 0;
  o.udpPort = 0;
  auto service = HttpThread::init(client, o);
  if (!service->waitReady(10) || !service->httplisten()->bListen()) {
    std::printf("the file service did not start\n");
    return 1;
  }
  const std::string url = lanwire::peerUrl("127.0.0.1", static_cast<uint32_t>(service->httplisten()->nPort()), hash);
  // The file API is nowhere: the peer is the only source.
  APIHosts::setAll("127.0.0.1:1");
  AppServices::shared().setBHttps(false);
  auto ud = std::make_shared<UserData>();
  ud->setUserID(1);
  AppServices::shared().setUserdata(ud);

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
    d->addUdpPeer(url);
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
  auto curl = [&](bool synced) {
    const std::string out = home + "/curl.bin";
    const std::string cmd = "curl -s -f -A client_quorva -o '" + out + "' '" + url + "'" +
                            (synced ? " && sync '" + out + "'" : std::string());
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
  auto best = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
  const double f1 = best(flushed), f0 = best(unflushed), c = best(theirs), cs = best(theirsSynced);
  std::printf("%llu MiB from a LAN peer: ours with per-block flushes %.1f MB/s, without %.1f MB/s; curl to a file "
              "%.1f MB/s (ratios %.2f, %.2f), curl then sync of its file %.1f MB/s (ratio %.2f); goal >= 0.8\n",
              static_cast<unsigned long long>(mib), f1, f0, c, c > 0 ? f1 / c : 0, c > 0 ? f0 / c : 0, cs,
              cs > 0 ? f1 / cs : 0);
  const std::string what = std::to_string(mib) + " MiB download from a LAN peer";
  const std::string ref = "curl -s -f -o file (same listener)";
  bool reported = qvbench::reportFigure({what + ", per-block flushes", f1, "MB/s", ref, c, ">=0.8"});
  reported = qvbench::reportFigure({what + ", no flushes", f0, "MB/s", ref, c, ">=0.8"}) && reported;
  reported = qvbench::reportFigure({what + ", per-block flushes", f1, "MB/s", ref + " && sync file", cs, ">=0.8"}) &&
             reported;
  service->exit();
  service->join();
  plat::removeTree(home);
  return reported && f1 > 0 && f0 > 0 && c > 0 ? 0 : 1;
}
