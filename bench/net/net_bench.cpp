// Throughput of the HTTP read stream: one large download to a file, and many
// sequential range requests over one kept connection. Prints one line of
// figures per run for run.sh to set beside curl's.
//
//   net_bench download <url> <file> [ca.pem]
//   net_bench ranges <url> <count> <bytes> [ca.pem]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/foundation/clock.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/connection.h"
#include "platform/net/http_read_stream.h"

using namespace plat;

namespace {

constexpr const char* kMode = "bench";

std::string readFile(const char* path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Result {
  bool ok = false;
  int status = 0;
  uint64_t bytes = 0;
  std::string error;
};

// One exchange on this thread's run loop; the body goes to `fd` (or nowhere).
Result fetch(const URL& url, const SSLSettings& ssl, const char* range, int fd) {
  auto m = HTTPMessage::createRequest("GET", url);
  m->setHeaderFieldValue("User-Agent", "client_quorva");
  if (range) m->setHeaderFieldValue("Range", range);
  auto stream = HTTPReadStream::create(*m);
  stream->setSSLSettings(ssl);
  stream->setAttemptPersistentConnection(true);
  stream->setConnectionID(1);
  Result r;
  bool done = false;
  static char buf[256 * 1024];
  HTTPReadStream* s = stream.get();
  stream->setClient(HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventEndEncountered |
                        HTTPReadStream::kEventErrorOccurred,
                    [&, s](uint32_t ev) {
                      if (ev == HTTPReadStream::kEventHasBytesAvailable) {
                        long n;
                        while ((n = s->read(reinterpret_cast<uint8_t*>(buf), sizeof buf)) > 0) {
                          r.bytes += static_cast<uint64_t>(n);
                          if (fd >= 0 && ::write(fd, buf, static_cast<size_t>(n)) != n) {
                            r.error = "write failed";
                            done = true;
                          }
                        }
                        return;
                      }
                      done = true;
                      r.ok = ev == HTTPReadStream::kEventEndEncountered;
                      if (!r.ok) r.error = s->error() ? s->error()->description() : "error";
                    });
  auto loop = RunLoop::current();
  stream->scheduleInRunLoop(loop, kMode);
  if (!stream->open()) return r;
  while (!done) loop->runInMode(kMode, 60, true);
  if (auto head = stream->responseHeader()) r.status = head->statusCode();
  stream->setClient(0, nullptr);
  stream->unscheduleFromRunLoop(loop, kMode);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: net_bench download <url> <file> [ca.pem] | ranges <url> <count> <bytes> [ca.pem]\n");
    return 2;
  }
  std::string mode = argv[1];
  auto url = URL::parse(argv[2]);
  if (!url) {
    fprintf(stderr, "bad url\n");
    return 2;
  }
  SSLSettings ssl;
  int caArg = mode == "download" ? 4 : 5;
  if (argc > caArg) ssl.trustedCertificatesPEM = readFile(argv[caArg]);
  auto opened = ConnectionRegistry::shared().stats().opened;
  double start = currentClock().monotonic();
  if (mode == "download") {
    int fd = ::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Result r = fetch(*url, ssl, nullptr, fd);
    ::close(fd);
    double secs = currentClock().monotonic() - start;
    if (!r.ok || r.status != 200) {
      fprintf(stderr, "download failed: status %d %s\n", r.status, r.error.c_str());
      return 1;
    }
    printf("bytes=%llu seconds=%.3f MBps=%.1f connections=%llu\n", static_cast<unsigned long long>(r.bytes), secs,
           r.bytes / secs / 1e6, static_cast<unsigned long long>(ConnectionRegistry::shared().stats().opened - opened));
    return 0;
  }
  if (mode == "ranges") {
    long count = atol(argv[3]);
    uint64_t size = strtoull(argv[4], nullptr, 10);
    uint64_t total = 0;
    for (long i = 0; i < count; ++i) {
      char range[64];
      snprintf(range, sizeof range, "bytes=%llu-%llu", static_cast<unsigned long long>(i * size),
               static_cast<unsigned long long>(i * size + size - 1));
      Result r = fetch(*url, ssl, range, -1);
      if (!r.ok || r.status != 206 || r.bytes != size) {
        fprintf(stderr, "range %ld failed: status %d bytes %llu %s\n", i, r.status,
                static_cast<unsigned long long>(r.bytes), r.error.c_str());
        return 1;
      }
      total += r.bytes;
    }
    double secs = currentClock().monotonic() - start;
    printf("requests=%ld bytes=%llu seconds=%.3f requests_per_s=%.1f connections=%llu\n", count,
           static_cast<unsigned long long>(total), secs, count / secs,
           static_cast<unsigned long long>(ConnectionRegistry::shared().stats().opened - opened));
    return 0;
  }
  fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
