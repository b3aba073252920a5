#include "Framework/HCHTTP/HCDataDecompressor.h"

#include "platform/foundation/format.h"

namespace {
constexpr const char* kDomain = "HCHTTPRequestErrorDomain";
}  // namespace

std::unique_ptr<HCDataDecompressor> HCDataDecompressor::decompressor() {
  std::unique_ptr<HCDataDecompressor> d(new HCDataDecompressor());
  d->setupStream();
  return d;
}

HCDataDecompressor::~HCDataDecompressor() = default;

std::optional<plat::Error> HCDataDecompressor::setupStream() {
  if (_stream.ready()) return std::nullopt;
  int status = _stream.setup();
  if (status != Z_OK) return inflateErrorWithCode(status);
  _streamEnded = false;
  return std::nullopt;
}

std::optional<plat::Error> HCDataDecompressor::closeStream() {
  if (!_stream.ready()) return std::nullopt;
  int status = _stream.end();
  if (status != Z_OK) return inflateErrorWithCode(status);
  return std::nullopt;
}

std::optional<plat::Data> HCDataDecompressor::uncompressBytes(const uint8_t* bytes, uint64_t length,
                                                              plat::Error* error) {
  plat::Data out;
  bool ok = uncompressBytes(
      bytes, length,
      [&out](const uint8_t* b, size_t n) {
        out.insert(out.end(), b, b + n);
        return true;
      },
      error);
  if (!ok) return std::nullopt;
  return out;
}

bool HCDataDecompressor::uncompressBytes(const uint8_t* bytes, uint64_t length, const Piece& piece,
                                         plat::Error* error) {
  // zlib counts its input in 32 bits: longer input goes in pieces.
  for (; length > HCZlibStream::kMaxInput; bytes += HCZlibStream::kMaxInput, length -= HCZlibStream::kMaxInput)
    if (!uncompressBytes(bytes, HCZlibStream::kMaxInput, piece, error)) return false;
  if (length == 0) return true;
  if (!_stream.ready() || _streamEnded) {
    // Bytes after the end of the stream (or on a closed stream) are not part of the body.
    plat::setError(error, inflateErrorWithCode(Z_STREAM_ERROR));
    return false;
  }
  if (!_piece) _piece = std::make_unique_for_overwrite<uint8_t[]>(kPieceSize);
  _stream.setInput(bytes, length);
  for (;;) {
    size_t produced = 0;
    int status = _stream.stepInto(_piece.get(), kPieceSize, produced, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      plat::setError(error, inflateErrorWithCode(status));
      return false;
    }
    if (produced > 0) {
      _totalOut += produced;
      if (!piece(_piece.get(), produced)) return false;
    }
    if (status == Z_STREAM_END) {
      _streamEnded = true;
      if (_stream.availableIn() > 0) {
        plat::setError(error, inflateErrorWithCode(Z_DATA_ERROR));
        return false;
      }
      return true;
    }
    // All input taken and the buffer not filled: zlib holds nothing more.
    if (_stream.availableIn() == 0 && _stream.availableOut() > 0) return true;
    if (status == Z_BUF_ERROR && produced == 0) {
      plat::setError(error, inflateErrorWithCode(status));
      return false;
    }
  }
}

std::optional<plat::Data> HCDataDecompressor::uncompressData(const plat::Data& data, plat::Error* error,
                                                             uint64_t maxOutput) {
  auto d = decompressor();
  if (!d->streamReady()) {
    plat::setError(error, inflateErrorWithCode(Z_STREAM_ERROR));
    return std::nullopt;
  }
  plat::Data out;
  bool tooLarge = false;
  bool ok = d->uncompressBytes(
      data.data(), data.size(),
      [&](const uint8_t* b, size_t n) {
        if (out.size() + n > maxOutput) return !(tooLarge = true);
        out.insert(out.end(), b, b + n);
        return true;
      },
      error);
  if (tooLarge) plat::setError(error, inflateLimitError(maxOutput));
  if (!ok) return std::nullopt;
  if (!d->isStreamEnded()) {
    plat::setError(error, inflateErrorWithCode(Z_BUF_ERROR));
    return std::nullopt;
  }
  return out;
}

bool HCDataDecompressor::uncompressDataFromFile(const std::string& sourcePath, const std::string& destinationPath,
                                                plat::Error* error, uint64_t maxOutput, bool privateFile) {
  auto d = decompressor();
  return HCZlibStream::transformFile(
      "Decompression", sourcePath, destinationPath,
      [&d, maxOutput](const uint8_t* bytes, size_t length, bool atEnd, const HCZlibStream::Write& write,
                      plat::Error* e) {
        // The source stops inside the compressed stream: the body was cut short.
        if (atEnd && !d->isStreamEnded()) {
          plat::setError(e, inflateErrorWithCode(Z_BUF_ERROR));
          return false;
        }
        bool tooLarge = false;
        bool ok = d->uncompressBytes(
            bytes, length,
            [&](const uint8_t* b, size_t n) {
              if (d->totalOut() > maxOutput) return !(tooLarge = true);
              return write(b, n);
            },
            e);
        if (tooLarge) plat::setError(e, inflateLimitError(maxOutput));
        return ok;
      },
      [&d] { return d->closeStream(); }, error, privateFile);
}

plat::Error HCDataDecompressor::inflateErrorWithCode(int code) {
  return plat::Error::withDescription(kDomain, 11, plat::format("Decompression of data failed with code %d", code));
}

plat::Error HCDataDecompressor::inflateLimitError(uint64_t limit) {
  return plat::Error::withDescription(
      kDomain, 11,
      plat::format("Decompression of data failed: it inflates past its limit of %llu bytes",
                   static_cast<unsigned long long>(limit)));
}
