#include "Framework/HCHTTP/HCDataCompressor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"

namespace {
constexpr const char* kDomain = "HCHTTPRequestErrorDomain";
constexpr size_t kFileChunk = 256 * 1024;
// Room for zlib's header, trailer and block overhead, so that the smallest
// chunk has somewhere to go.
constexpr size_t kSlack = 64;

plat::Error fileError(std::string text, std::shared_ptr<const plat::Error> underlying = nullptr) {
  return plat::Error::withDescription(kDomain, 11, std::move(text), std::move(underlying));
}

}  // namespace

std::unique_ptr<HCDataCompressor> HCDataCompressor::compressor() {
  std::unique_ptr<HCDataCompressor> c(new HCDataCompressor());
  c->setupStream();
  return c;
}

HCDataCompressor::~HCDataCompressor() {
  if (_streamReady) closeStream();
}

std::optional<plat::Error> HCDataCompressor::setupStream() {
  if (_streamReady) return std::nullopt;
  _zStream = z_stream{};
  // 31: a 32 KiB window with a gzip header and trailer.
  int status = deflateInit2(&_zStream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) return deflateErrorWithCode(status);
  _streamReady = true;
  return std::nullopt;
}

std::optional<plat::Error> HCDataCompressor::closeStream() {
  if (!_streamReady) return std::nullopt;
  _streamReady = false;
  int status = deflateEnd(&_zStream);
  if (status != Z_OK) return deflateErrorWithCode(status);
  return std::nullopt;
}

std::optional<plat::Data> HCDataCompressor::compressBytes(const uint8_t* bytes, uint64_t length, plat::Error* error,
                                                          bool shouldFinish) {
  if (length == 0 && !shouldFinish) return plat::Data();
  if (!_streamReady) {
    plat::setError(error, deflateErrorWithCode(Z_STREAM_ERROR));
    return std::nullopt;
  }
  const size_t half = static_cast<size_t>(length / 2);
  plat::Data out(half + kSlack);
  _zStream.next_in = const_cast<Bytef*>(bytes);
  _zStream.avail_in = static_cast<uInt>(length);
  _zStream.avail_out = 0;
  size_t produced = 0;
  while (_zStream.avail_out == 0) {
    if (produced == out.size()) out.resize(out.size() + half + kSlack);
    _zStream.next_out = out.data() + produced;
    _zStream.avail_out = static_cast<uInt>(out.size() - produced);
    int status = deflate(&_zStream, shouldFinish ? Z_FINISH : Z_NO_FLUSH);
    produced = out.size() - _zStream.avail_out;
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && !(status == Z_BUF_ERROR && _zStream.avail_out == 0)) {
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
                                            plat::Error* error) {
  int out = ::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    plat::setError(error, fileError(plat::format("Compression of %@ failed because we were to create a file at %@",
                                                 sourcePath, destinationPath)));
    return false;
  }
  if (!plat::fileExists(sourcePath)) {
    ::close(out);
    plat::setError(error, fileError(plat::format("Compression of %@ failed the file does not exist", sourcePath)));
    return false;
  }
  int in = ::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
  auto c = compressor();
  std::vector<uint8_t> buffer(kFileChunk);
  bool ok = c->streamReady();
  if (!ok) plat::setError(error, deflateErrorWithCode(Z_STREAM_ERROR));
  while (ok) {
    ssize_t n = in < 0 ? -1 : ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      plat::setError(error, fileError(plat::format("Compression of %@ failed because we were unable to read from "
                                                   "the source data file",
                                                   sourcePath),
                                      std::make_shared<const plat::Error>(plat::posixError(err, "read", sourcePath))));
      ok = false;
      break;
    }
    // The end of the source, not the size of a read, finishes the stream:
    // a source of a whole number of chunks (or none) ends complete too.
    const bool last = n == 0;
    auto chunk = c->compressBytes(buffer.data(), static_cast<uint64_t>(n), error, last);
    if (!chunk) {
      ok = false;
      break;
    }
    if (!plat::writeAll(out, chunk->data(), chunk->size())) {
      int err = errno;
      plat::setError(error, fileError(plat::format("Compression of %@ failed because we were unable to write to the "
                                                   "destination data file at %@",
                                                   sourcePath, destinationPath),
                                      std::make_shared<const plat::Error>(plat::posixError(err, "write", destinationPath))));
      ok = false;
    }
    if (last) break;
  }
  if (in >= 0) ::close(in);
  ::close(out);
  auto closeError = c->closeStream();
  if (ok && closeError) {
    plat::setError(error, *closeError);
    ok = false;
  }
  return ok;
}

plat::Error HCDataCompressor::deflateErrorWithCode(int code) {
  return plat::Error::withDescription(kDomain, 11, plat::format("Compression of data failed with code %d", code));
}
