// Fetches a file as consecutive "Range" requests of one block each, one
// after the other, through HCHTTPRequest, writing every piece where it
// belongs from the data callback on the main thread. Prints one line of
// figures for run.sh to set beside curl's: throughput, the connections
// opened, and how far the resident memory rose above where it started.
// With a slowdown, the main thread sleeps that long in every callback, as a
// busy interface would.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/connection.h"

namespace {

// kB figures of /proc/self/status.
long statusField(const std::string& name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return -1;
}

struct Run {
  std::string url;
  long count = 0;
  unsigned long long block = 0;
  int fd = -1;
  double slowSeconds = 0;

  long next = 0;
  unsigned long long at = 0;  // where the current piece goes
  unsigned long long bytes = 0;
  unsigned long long callbacks = 0;
  bool failed = false;
  bool done = false;
  std::string why;
  std::shared_ptr<HCHTTPRequest> current;

  void startNext() {
    if (next == count) {
      done = true;
      return;
    }
    unsigned long long first = static_cast<unsigned long long>(next) * block;
    at = first;
    ++next;
    auto r = HCHTTPRequest::requestWithURL(url);
    r->addRequestHeader("Range", "bytes=" + std::to_string(first) + "-" + std::to_string(first + block - 1));
    HCHTTPRequest* raw = r.get();
    r->setDataReceivedBlock([this](const plat::Data& data) {
      if (::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)) != static_cast<ssize_t>(data.size())) {
        failed = true;
        why = "write failed";
      }
      at += data.size();
      bytes += data.size();
      ++callbacks;
      if (slowSeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(slowSeconds));
    });
    r->setCompletionBlock([this, raw] {
      if (raw->responseStatusCode() != 206) {
        failed = true;
        why = "status " + std::to_string(raw->responseStatusCode());
        done = true;
        return;
      }
      plat::MainThread::perform([this] { startNext(); });
    });
    r->setFailedBlock([this, raw] {
      failed = true;
      why = raw->error() ? raw->error()->localizedDescription() : "failed";
      done = true;
    });
    current = r;
    r->startAsynchronous();
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: hchttp_range_blocks <url> <count> <block bytes> <out file> [ms slept per callback]\n");
    return 2;
  }
  plat::MainThread::setCurrentThreadAsMain();
  // A source that never fires keeps the main loop from running dry.
  plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
  Run run;
  run.url = argv[1];
  run.count = std::atol(argv[2]);
  run.block = std::strtoull(argv[3], nullptr, 10);
  run.fd = ::open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  run.slowSeconds = argc > 5 ? std::atof(argv[5]) / 1000 : 0;
  if (run.fd < 0) {
    std::perror(argv[4]);
    return 1;
  }
  long rssBefore = statusField("VmRSS");
  auto opened = plat::ConnectionRegistry::shared().stats().opened;
  double start = plat::currentClock().monotonic();
  run.startNext();
  while (!run.done) plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 1.0, true);
  double seconds = plat::currentClock().monotonic() - start;
  ::close(run.fd);
  HCHTTPRequest::sharedQueue().waitUntilAllOperationsAreFinished();
  if (run.failed) {
    std::fprintf(stderr, "range %ld failed: %s\n", run.next - 1, run.why.c_str());
    return 1;
  }
  std::printf("requests=%ld bytes=%llu seconds=%.3f MBps=%.1f connections=%llu callbacks=%llu rss_growth_kB=%ld\n",
              run.count, run.bytes, seconds, static_cast<double>(run.bytes) / seconds / 1e6,
              static_cast<unsigned long long>(plat::ConnectionRegistry::shared().stats().opened - opened),
              run.callbacks, statusField("VmHWM") - rssBefore);
  return 0;
}
