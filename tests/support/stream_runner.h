// Runs one plat::HTTPReadStream to its end on the calling thread's run loop
// and collects what it delivered, for the tests of the HTTP layer.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/clock.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/http_read_stream.h"

namespace qvtest {

struct StreamOutcome {
  std::string body;
  std::vector<uint32_t> events;
  std::optional<plat::Error> error;
  std::shared_ptr<const plat::HTTPMessage> head;
  bool ended = false;
  bool timedOut = false;
  uint64_t bytesWritten = 0;
  bool reused = false;
  uint64_t serial = 0;
  int status() const { return head ? head->statusCode() : 0; }
};

inline constexpr const char* kTestStreamMode = "qvtest.stream";

// The time-out is only a safety net. ThreadSanitizer makes every large buffer
// many times dearer (a 3 MiB upload in small frames takes seconds), so the
// net is wider there.
#if defined(__SANITIZE_THREAD__)
inline constexpr double kStreamTimeoutScale = 4;
#else
inline constexpr double kStreamTimeoutScale = 1;
#endif

// `readSize` bytes are read per has-bytes event.
inline StreamOutcome runStream(const std::shared_ptr<plat::HTTPReadStream>& stream, double timeout = 10,
                               size_t readSize = 64 * 1024) {
  using plat::HTTPReadStream;
  auto loop = plat::RunLoop::current();
  StreamOutcome r;
  bool finished = false;
  HTTPReadStream* s = stream.get();  // not captured owning: no cycle through the client
  stream->setClient(HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventEndEncountered |
                        HTTPReadStream::kEventErrorOccurred,
                    [&, s](uint32_t ev) {
                      r.events.push_back(ev);
                      if (ev == HTTPReadStream::kEventHasBytesAvailable) {
                        if (!r.head) r.head = s->responseHeader();
                        std::string buf(readSize, '\0');
                        long n = s->read(reinterpret_cast<uint8_t*>(buf.data()), buf.size());
                        if (n > 0) r.body.append(buf.data(), static_cast<size_t>(n));
                      } else {
                        finished = true;
                        r.ended = ev == HTTPReadStream::kEventEndEncountered;
                        if (!r.head) r.head = s->responseHeader();
                        r.error = s->error();
                      }
                    });
  stream->scheduleInRunLoop(loop, kTestStreamMode);
  if (!stream->open()) {
    r.error = plat::Error::withDescription("qvtest", -1, "open() refused");
    return r;
  }
  double deadline = plat::currentClock().monotonic() + timeout * kStreamTimeoutScale;
  while (!finished) {
    double left = deadline - plat::currentClock().monotonic();
    if (left <= 0) {
      r.timedOut = true;
      break;
    }
    loop->runInMode(kTestStreamMode, left, true);
  }
  r.bytesWritten = stream->requestBytesWritten();
  r.reused = stream->connectionWasReused();
  r.serial = stream->connectionSerial();
  stream->setClient(0, nullptr);
  stream->unscheduleFromRunLoop(loop, kTestStreamMode);
  return r;
}

inline std::shared_ptr<plat::HTTPReadStream> makeStream(const std::string& url, const char* method = "GET",
                                                        std::unique_ptr<plat::BodySource> body = nullptr) {
  auto u = plat::URL::parse(url);
  auto m = plat::HTTPMessage::createRequest(method, *u);
  return plat::HTTPReadStream::create(*m, std::move(body));
}

}  // namespace qvtest
