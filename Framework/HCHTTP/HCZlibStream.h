// The zlib stream under HCDataCompressor and HCDataDecompressor, and the
// file-to-file loop both run: the source is read 256 KiB at a time, so a
// file of any size goes through without being held in memory.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class HCZlibStream {
public:
  enum Mode { kDeflate, kInflate };
  explicit HCZlibStream(Mode mode) : _mode(mode) {}
  ~HCZlibStream() { end(); }
  HCZlibStream(const HCZlibStream&) = delete;
  HCZlibStream& operator=(const HCZlibStream&) = delete;

  // Z_OK, or zlib's result. A 32 KiB window: deflate writes a gzip header
  // and trailer, inflate tells a zlib from a gzip header itself.
  int setup();
  // Z_OK, or zlib's result; a stream that is not ready is left alone.
  int end();
  bool ready() const { return _ready; }

  // The most one call may hand zlib, whose counts are 32 bits.
  static constexpr uint64_t kMaxInput = uint64_t{1} << 30;
  // At most kMaxInput bytes.
  void setInput(const uint8_t* bytes, uint64_t length);
  // Runs `piece` over consecutive pieces of at most kMaxInput bytes (`last`
  // on the final one) and joins what they give; nothing when one fails.
  static std::optional<plat::Data> inPieces(
      const uint8_t* bytes, uint64_t length,
      const std::function<std::optional<plat::Data>(const uint8_t*, uint64_t, bool last)>& piece);
  uInt availableIn() const { return _z.avail_in; }
  uInt availableOut() const { return _z.avail_out; }
  void clearOutputSpace() { _z.avail_out = 0; }

  // One deflate (resp. inflate) call writing into `out` after its first
  // `produced` bytes; when those fill it, `out` first grows by `grow`.
  // `produced` then counts what the call added.
  int step(plat::Data& out, size_t& produced, size_t grow, int flush);
  // One call writing into a fixed buffer of `size` bytes; `produced` gets
  // how many it wrote.
  int stepInto(uint8_t* out, size_t size, size_t& produced, int flush);

  // Takes output bytes for the destination; false when they could not be written.
  using Write = std::function<bool(const uint8_t* bytes, size_t length)>;
  // One chunk read from the source, and after the last one an empty chunk
  // with `atEnd`, its output handed to `write` (in as many pieces as it
  // likes); false with the error set when the stream refuses.
  using Chunk = std::function<bool(const uint8_t* bytes, size_t length, bool atEnd, const Write& write,
                                   plat::Error* error)>;
  // Ends the stream once the files are closed.
  using Close = std::function<std::optional<plat::Error>()>;
  // Creates the destination empty (`privateFile`: a new file, 0600, that
  // must not exist yet), then runs the source through `chunk` into it.
  // `operation` ("Compression", "Decompression") opens every error text. The
  // destination of a failed run is left as far as it was written.
  static bool transformFile(const char* operation, const std::string& sourcePath,
                            const std::string& destinationPath, const Chunk& chunk, const Close& close,
                            plat::Error* error, bool privateFile = false);

private:
  Mode _mode;
  z_stream _z{};
  bool _ready = false;
};
