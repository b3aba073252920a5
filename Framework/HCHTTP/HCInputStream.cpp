#include "Framework/HCHTTP/HCInputStream.h"

#include "Framework/HCHTTP/HCHTTPRequest.h"

namespace {
// One reader at a time takes its share of the second's allowance.
std::mutex& readLock() {
  static std::mutex m;
  return m;
}
}  // namespace

std::unique_ptr<HCInputStream> HCInputStream::inputStreamWithFileAtPath(const std::string& path,
                                                                        const std::shared_ptr<HCHTTPRequest>& request) {
  auto file = plat::FileBodySource::open(path);
  if (!file) return nullptr;
  return std::make_unique<HCInputStream>(std::move(file), request);
}

std::unique_ptr<HCInputStream> HCInputStream::inputStreamWithData(plat::Data data,
                                                                  const std::shared_ptr<HCHTTPRequest>& request) {
  return std::make_unique<HCInputStream>(std::make_unique<plat::DataBodySource>(std::move(data)), request);
}

HCInputStream::HCInputStream(std::unique_ptr<plat::BodySource> stream, std::weak_ptr<HCHTTPRequest> request)
    : _stream(std::move(stream)), _request(std::move(request)) {}

long HCInputStream::read(uint8_t* buffer, size_t maxLength) {
  size_t length = maxLength;
  bool wait = false;
  {
    std::lock_guard l(readLock());
    if (HCHTTPRequest::isBandwidthThrottled()) {
      unsigned long long allowed = HCHTTPRequest::maxUploadReadLength();
      if (allowed > maxLength) allowed = maxLength;
      // A read never asks for nothing: the stream would take that for the end.
      length = allowed == 0 ? 1 : static_cast<size_t>(allowed);
      wait = true;
    }
  }
  if (wait) {
    if (auto r = _request.lock()) r->performThrottlingSoon();
  }
  long n = _stream->read(buffer, length);
  if (n > 0) HCHTTPRequest::incrementBandwidthUsedInLastSecond(static_cast<unsigned long long>(n));
  return n;
}
