// HCInputStream: the body a request hands to its stream, wrapping a file or
// a buffer, so that under the class-wide bandwidth limit the body is read in
// pieces no larger than the limit allows and every byte read is counted
// against it. Read on the stream's thread, inside the stream's own work:
// the throttling wait it asks of its request is therefore performed on the
// request's run loop afterwards, never in line.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/net/http_read_stream.h"

class HCHTTPRequest;

class HCInputStream : public plat::BodySource {
public:
  // Null when the file can't be opened.
  static std::unique_ptr<HCInputStream> inputStreamWithFileAtPath(const std::string& path,
                                                                  const std::shared_ptr<HCHTTPRequest>& request);
  static std::unique_ptr<HCInputStream> inputStreamWithData(plat::Data data,
                                                            const std::shared_ptr<HCHTTPRequest>& request);
  // Any body source, wrapped the same way.
  HCInputStream(std::unique_ptr<plat::BodySource> stream, std::weak_ptr<HCHTTPRequest> request);

  long read(uint8_t* buffer, size_t maxLength) override;
  std::optional<uint64_t> length() const override { return _stream->length(); }
  plat::BodySource& stream() const { return *_stream; }

private:
  std::unique_ptr<plat::BodySource> _stream;
  std::weak_ptr<HCHTTPRequest> _request;
};
