#include "Framework/HCHTTP/HCDataDecompressor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/foundation/file_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"

namespace {
constexpr const char* kDomain = "HCHTTPRequestErrorDomain";
constexpr size_t kFileChunk = 256 * 1024;

plat::Error fileError(std::string text, std::shared_ptr<const plat::Error> underlying = nullptr) {
  return plat::Error::withDescription(kDomain, 11, std::move(text), std::move(underlying));
}

}  // namespace

std::unique_ptr<HCDataDecompressor> HCDataDecompressor::decompressor() {
  std::unique_ptr<HCDataDecompressor> d(new HCDataDecompressor());
  d->setupStream();
  return d;
}

HCDataDecompressor::~HCDataDecompressor() {
  if (_streamReady) closeStream();
}

std::optional<plat::Error> HCDataDecompressor::setupStream() {
  if (_streamReady) return std::nullopt;
  _zStream = z_stream{};
  // 47: a 32 KiB window, zlib or gzip header told apart by zlib.
  int status = inflateInit2(&_zStream, 47);
  if (status != Z_OK) return inflateErrorWithCode(status);
  _streamReady = true;
  _streamEnded = false;
  return std::nullopt;
}

std::optional<plat::Error> HCDataDecompressor::closeStream() {
  if (!_streamReady) return std::nullopt;
  _streamReady = false;
  int status = inflateEnd(&_zStream);
  if (status != Z_OK) return inflateErrorWithCode(status);
  return std::nullopt;
}

std::optional<plat::Data> HCDataDecompressor::uncompressBytes(const uint8_t* bytes, uint64_t length,
                                                              plat::Error* error) {
  if (length == 0) return plat::Data();
  if (!_streamReady || _streamEnded) {
    // Bytes after the end of the stream (or on a closed stream) are not part of the body.
    plat::setError(error, inflateErrorWithCode(Z_STREAM_ERROR));
    return std::nullopt;
  }
  size_t half = static_cast<size_t>(length / 2);
  plat::Data out(static_cast<size_t>(length) + half + 64);
  _zStream.next_in = const_cast<Bytef*>(bytes);
  _zStream.avail_in = static_cast<uInt>(length);
  size_t produced = 0;
  while (_zStream.avail_in > 0) {
    if (produced == out.size()) out.resize(out.size() + half + 64);
    _zStream.next_out = out.data() + produced;
    _zStream.avail_out = static_cast<uInt>(out.size() - produced);
    int status = inflate(&_zStream, Z_NO_FLUSH);
    produced = out.size() - _zStream.avail_out;
    if (status == Z_STREAM_END) {
      _streamEnded = true;
      if (_zStream.avail_in > 0) {
        plat::setError(error, inflateErrorWithCode(Z_DATA_ERROR));
        return std::nullopt;
      }
      break;
    }
    if (status == Z_BUF_ERROR && _zStream.avail_out > 0) {
      plat::setError(error, inflateErrorWithCode(status));
      return std::nullopt;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      plat::setError(error, inflateErrorWithCode(status));
      return std::nullopt;
    }
  }
  // zlib may still hold output for a full buffer: drain it.
  while (!_streamEnded && _zStream.avail_out == 0) {
    out.resize(out.size() + half + 64);
    _zStream.next_out = out.data() + produced;
    _zStream.avail_out = static_cast<uInt>(out.size() - produced);
    int status = inflate(&_zStream, Z_NO_FLUSH);
    produced = out.size() - _zStream.avail_out;
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
  int out = ::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    plat::setError(error, fileError(plat::format("Decompression of %@ failed because we were to create a file at %@",
                                                 sourcePath, destinationPath)));
    return false;
  }
  if (!plat::fileExists(sourcePath)) {
    ::close(out);
    plat::setError(error, fileError(plat::format("Decompression of %@ failed the file does not exist", sourcePath)));
    return false;
  }
  int in = ::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
  auto d = decompressor();
  std::vector<uint8_t> buffer(kFileChunk);
  bool ok = true;
  while (ok) {
    ssize_t n = in < 0 ? -1 : ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      plat::setError(error, fileError(plat::format("Decompression of %@ failed because we were unable to read from "
                                                   "the source data file",
                                                   sourcePath),
                                      std::make_shared<const plat::Error>(plat::posixError(err, "read", sourcePath))));
      ok = false;
      break;
    }
    if (n == 0) break;
    auto chunk = d->uncompressBytes(buffer.data(), static_cast<uint64_t>(n), error);
    if (!chunk) {
      ok = false;
      break;
    }
    if (!plat::writeAll(out, chunk->data(), chunk->size())) {
      int err = errno;
      plat::setError(error, fileError(plat::format("Decompression of %@ failed because we were unable to write to the "
                                                   "destination data file at %@",
                                                   sourcePath, destinationPath),
                                      std::make_shared<const plat::Error>(plat::posixError(err, "write", destinationPath))));
      ok = false;
    }
  }
  if (ok && !d->isStreamEnded()) {
    // The source stops inside the compressed stream: the body was cut short.
    plat::setError(error, inflateErrorWithCode(Z_BUF_ERROR));
    ok = false;
  }
  if (in >= 0) ::close(in);
  ::close(out);
  auto closeError = d->closeStream();
  if (ok && closeError) {
    plat::setError(error, *closeError);
    ok = false;
  }
  return ok;
}

plat::Error HCDataDecompressor::inflateErrorWithCode(int code) {
  return plat::Error::withDescription(kDomain, 11, plat::format("Decompression of data failed with code %d", code));
}
