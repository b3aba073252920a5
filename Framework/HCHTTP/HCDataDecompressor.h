// Inflates gzip or zlib data: chunk by chunk on one object whose zlib stream
// stays open, or in one call on a whole buffer or a whole file. A body that
// stops before the end of its compressed stream is an error, not a shorter
// body: isStreamEnded() tells whether the end was seen.
#pragma once

#include <cstdint>
#include <functional>
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

  // Takes inflated output, at most kPieceSize bytes at a time; false stops
  // the inflation (the taker sets its own error).
  using Piece = std::function<bool(const uint8_t* bytes, size_t length)>;
  static constexpr size_t kPieceSize = 256 * 1024;
  // Inflates `bytes` piece by piece: a few compressed bytes may stand for
  // gigabytes, and none of it is ever held in one buffer. False when the
  // data is not valid (error set) or `piece` said stop.
  bool uncompressBytes(const uint8_t* bytes, uint64_t length, const Piece& piece, plat::Error* error);
  // Inflated bytes handed over so far.
  uint64_t totalOut() const { return _totalOut; }

  // The whole buffer must hold a whole compressed stream, inflating to at
  // most `maxOutput` bytes.
  static std::optional<plat::Data> uncompressData(const plat::Data& data, plat::Error* error,
                                                  uint64_t maxOutput = UINT64_MAX);
  // `privateFile`: the destination is made new and 0600.
  static bool uncompressDataFromFile(const std::string& sourcePath, const std::string& destinationPath,
                                     plat::Error* error, uint64_t maxOutput = UINT64_MAX, bool privateFile = false);

  static plat::Error inflateErrorWithCode(int code);
  // The data inflates past the limit it was allowed.
  static plat::Error inflateLimitError(uint64_t limit);

private:
  HCDataDecompressor() = default;
  HCZlibStream _stream{HCZlibStream::kInflate};
  bool _streamEnded = false;
  uint64_t _totalOut = 0;
  std::unique_ptr<uint8_t[]> _piece;
};
