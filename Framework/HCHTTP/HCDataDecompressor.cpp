#include "Framework/HCHTTP/HCDataDecompressor.h"

#include "platform/foundation/format.h"

namespace {
constexpr const char* kDomain = "HCHTTPRequestErrorDomain";
// Room for the output of the smallest chunk.
constexpr size_t kSlack = 64;
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
  // zlib counts its input in 32 bits: longer input goes in pieces.
  if (length > HCZlibStream::kMaxInput)
    return HCZlibStream::inPieces(bytes, length, [&](const uint8_t* b, uint64_t n, bool) {
      return uncompressBytes(b, n, error);
    });
  if (length == 0) return plat::Data();
  if (!_stream.ready() || _streamEnded) {
    // Bytes after the end of the stream (or on a closed stream) are not part of the body.
    plat::setError(error, inflateErrorWithCode(Z_STREAM_ERROR));
    return std::nullopt;
  }
  const size_t grow = static_cast<size_t>(length / 2) + kSlack;
  plat::Data out(static_cast<size_t>(length) + grow);
  _stream.setInput(bytes, length);
  size_t produced = 0;
  while (_stream.availableIn() > 0) {
    int status = _stream.step(out, produced, grow, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      _streamEnded = true;
      if (_stream.availableIn() > 0) {
        plat::setError(error, inflateErrorWithCode(Z_DATA_ERROR));
        return std::nullopt;
      }
      break;
    }
    if ((status == Z_BUF_ERROR && _stream.availableOut() > 0) || (status != Z_OK && status != Z_BUF_ERROR)) {
      plat::setError(error, inflateErrorWithCode(status));
      return std::nullopt;
    }
  }
  // zlib may still hold output for a full buffer: drain it.
  while (!_streamEnded && _stream.availableOut() == 0) {
    int status = _stream.step(out, produced, grow, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      _streamEnded = true;
    } else if (status == Z_BUF_ERROR) {
      break;
    } else if (status != Z_OK) {
      plat::setError(error, inflateErrorWithCode(status));
      return std::nullopt;
    }
  }
  out.resize(produced);
  return out;
}

std::optional<plat::Data> HCDataDecompressor::uncompressData(const plat::Data& data, plat::Error* error) {
  auto d = decompressor();
  if (!d->streamReady()) {
    plat::setError(error, inflateErrorWithCode(Z_STREAM_ERROR));
    return std::nullopt;
  }
  auto out = d->uncompressBytes(data.data(), data.size(), error);
  if (!out) return std::nullopt;
  if (!d->isStreamEnded()) {
    plat::setError(error, inflateErrorWithCode(Z_BUF_ERROR));
    return std::nullopt;
  }
  return out;
}

bool HCDataDecompressor::uncompressDataFromFile(const std::string& sourcePath, const std::string& destinationPath,
                                                plat::Error* error) {
  auto d = decompressor();
  return HCZlibStream::transformFile(
      "Decompression", sourcePath, destinationPath,
      [&d](const uint8_t* bytes, size_t length, bool atEnd, plat::Error* e) -> std::optional<plat::Data> {
        // The source stops inside the compressed stream: the body was cut short.
        if (atEnd && !d->isStreamEnded()) {
          plat::setError(e, inflateErrorWithCode(Z_BUF_ERROR));
          return std::nullopt;
        }
        return d->uncompressBytes(bytes, length, e);
      },
      [&d] { return d->closeStream(); }, error);
}

plat::Error HCDataDecompressor::inflateErrorWithCode(int code) {
  return plat::Error::withDescription(kDomain, 11, plat::format("Decompression of data failed with code %d", code));
}
