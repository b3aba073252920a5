#include "Framework/HCHTTP/HCDataCompressor.h"

#include "platform/foundation/format.h"

namespace {
constexpr const char* kDomain = "HCHTTPRequestErrorDomain";
// Room for zlib's header, trailer and block overhead, so that the smallest
// chunk has somewhere to go.
constexpr size_t kSlack = 64;
}  // namespace

std::unique_ptr<HCDataCompressor> HCDataCompressor::compressor() {
  std::unique_ptr<HCDataCompressor> c(new HCDataCompressor());
  c->setupStream();
  return c;
}

HCDataCompressor::~HCDataCompressor() = default;

std::optional<plat::Error> HCDataCompressor::setupStream() {
  if (_stream.ready()) return std::nullopt;
  int status = _stream.setup();
  if (status != Z_OK) return deflateErrorWithCode(status);
  return std::nullopt;
}

std::optional<plat::Error> HCDataCompressor::closeStream() {
  if (!_stream.ready()) return std::nullopt;
  int status = _stream.end();
  if (status != Z_OK) return deflateErrorWithCode(status);
  return std::nullopt;
}

std::optional<plat::Data> HCDataCompressor::compressBytes(const uint8_t* bytes, uint64_t length, plat::Error* error,
                                                          bool shouldFinish) {
  // zlib counts its input in 32 bits: longer input goes in pieces.
  if (length > HCZlibStream::kMaxInput)
    return HCZlibStream::inPieces(bytes, length, [&](const uint8_t* b, uint64_t n, bool last) {
      return compressBytes(b, n, error, shouldFinish && last);
    });
  if (length == 0 && !shouldFinish) return plat::Data();
  if (!_stream.ready()) {
    plat::setError(error, deflateErrorWithCode(Z_STREAM_ERROR));
    return std::nullopt;
  }
  const size_t half = static_cast<size_t>(length / 2);
  plat::Data out(half + kSlack);
  _stream.setInput(bytes, length);
  _stream.clearOutputSpace();
  size_t produced = 0;
  while (_stream.availableOut() == 0) {
    int status = _stream.step(out, produced, half + kSlack, shouldFinish ? Z_FINISH : Z_NO_FLUSH);
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && !(status == Z_BUF_ERROR && _stream.availableOut() == 0)) {
      plat::setError(error, deflateErrorWithCode(status));
      return std::nullopt;
    }
  }
  out.resize(produced);
  return out;
}

std::optional<plat::Data> HCDataCompressor::compressData(const plat::Data& data, plat::Error* error) {
  auto c = compressor();
  if (!c->streamReady()) {
    plat::setError(error, deflateErrorWithCode(Z_STREAM_ERROR));
    return std::nullopt;
  }
  auto out = c->compressBytes(data.data(), data.size(), error, true);
  if (!out) return std::nullopt;
  if (auto e = c->closeStream()) {
    plat::setError(error, *e);
    return std::nullopt;
  }
  return out;
}

bool HCDataCompressor::compressDataFromFile(const std::string& sourcePath, const std::string& destinationPath,
                                            plat::Error* error, bool privateFile) {
  auto c = compressor();
  return HCZlibStream::transformFile(
      "Compression", sourcePath, destinationPath,
      [&c](const uint8_t* bytes, size_t length, bool atEnd, const HCZlibStream::Write& write, plat::Error* e) {
        auto out = c->compressBytes(bytes, length, e, atEnd);
        return out && write(out->data(), out->size());
      },
      [&c] { return c->closeStream(); }, error, privateFile);
}

plat::Error HCDataCompressor::deflateErrorWithCode(int code) {
  return plat::Error::withDescription(kDomain, 11, plat::format("Compression of data failed with code %d", code));
}
