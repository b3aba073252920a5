// Makes gzip data: chunk by chunk on one object whose zlib stream stays
// open, or in one call on a whole buffer or a whole file. The last chunk is
// given with shouldFinish, which writes the gzip trailer; an empty last
// chunk is allowed for that.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Framework/HCHTTP/HCZlibStream.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class HCDataCompressor {
public:
  static std::unique_ptr<HCDataCompressor> compressor();
  ~HCDataCompressor();
  HCDataCompressor(const HCDataCompressor&) = delete;
  HCDataCompressor& operator=(const HCDataCompressor&) = delete;

  // Null on success, else the error.
  std::optional<plat::Error> setupStream();
  std::optional<plat::Error> closeStream();
  bool streamReady() const { return _stream.ready(); }

  // This chunk's output; empty for empty input that does not finish. Empty
  // with the error set when zlib refuses.
  std::optional<plat::Data> compressBytes(const uint8_t* bytes, uint64_t length, plat::Error* error,
                                          bool shouldFinish);

  static std::optional<plat::Data> compressData(const plat::Data& data, plat::Error* error);
  // `privateFile`: the destination is made new and 0600.
  static bool compressDataFromFile(const std::string& sourcePath, const std::string& destinationPath,
                                   plat::Error* error, bool privateFile = false);

  static plat::Error deflateErrorWithCode(int code);

private:
  HCDataCompressor() = default;
  HCZlibStream _stream{HCZlibStream::kDeflate};
};
