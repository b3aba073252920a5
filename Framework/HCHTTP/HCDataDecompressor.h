// Inflates gzip or zlib data: chunk by chunk on one object whose zlib stream
// stays open, or in one call on a whole buffer or a whole file. A body that
// stops before the end of its compressed stream is an error, not a shorter
// body: isStreamEnded() tells whether the end was seen.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Framework/HCHTTP/HCZlibStream.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class HCDataDecompressor {
public:
  static std::unique_ptr<HCDataDecompressor> decompressor();
  ~HCDataDecompressor();
  HCDataDecompressor(const HCDataDecompressor&) = delete;
  HCDataDecompressor& operator=(const HCDataDecompressor&) = delete;

  // Null on success, else the error.
  std::optional<plat::Error> setupStream();
  std::optional<plat::Error> closeStream();
  bool streamReady() const { return _stream.ready(); }
  // The end of the compressed stream has been inflated.
  bool isStreamEnded() const { return _streamEnded; }

  // Empty output for empty input, without an error. Empty with the error set
  // when the data is not valid.
  std::optional<plat::Data> uncompressBytes(const uint8_t* bytes, uint64_t length, plat::Error* error);

  // The whole buffer must hold a whole compressed stream.
  static std::optional<plat::Data> uncompressData(const plat::Data& data, plat::Error* error);
  static bool uncompressDataFromFile(const std::string& sourcePath, const std::string& destinationPath,
                                     plat::Error* error);

  static plat::Error inflateErrorWithCode(int code);

private:
  HCDataDecompressor() = default;
  HCZlibStream _stream{HCZlibStream::kInflate};
  bool _streamEnded = false;
};
