#include "Framework/HCHTTP/HCZlibStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"

namespace {
constexpr const char* kDomain = "HCHTTPRequestErrorDomain";
constexpr size_t kFileChunk = 256 * 1024;

plat::Error fileError(std::string text, std::shared_ptr<const plat::Error> underlying = nullptr) {
  return plat::Error::withDescription(kDomain, 11, std::move(text), std::move(underlying));
}

}  // namespace

int HCZlibStream::setup() {
  if (_ready) return Z_OK;
  _z = z_stream{};
  // 31: gzip wrapping; 47: zlib or gzip, detected.
  int status = _mode == kDeflate ? deflateInit2(&_z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY)
                                 : inflateInit2(&_z, 47);
  if (status == Z_OK) _ready = true;
  return status;
}

int HCZlibStream::end() {
  if (!_ready) return Z_OK;
  _ready = false;
  return _mode == kDeflate ? deflateEnd(&_z) : inflateEnd(&_z);
}

void HCZlibStream::setInput(const uint8_t* bytes, uint64_t length) {
  PLAT_PARAMETER_ASSERT(length <= kMaxInput);
  _z.next_in = const_cast<Bytef*>(bytes);
  _z.avail_in = static_cast<uInt>(length);
}

std::optional<plat::Data> HCZlibStream::inPieces(
    const uint8_t* bytes, uint64_t length,
    const std::function<std::optional<plat::Data>(const uint8_t*, uint64_t, bool last)>& piece) {
  plat::Data all;
  for (uint64_t at = 0; at < length; at += kMaxInput) {
    uint64_t n = std::min<uint64_t>(kMaxInput, length - at);
    auto part = piece(bytes + at, n, at + n == length);
    if (!part) return std::nullopt;
    all.insert(all.end(), part->begin(), part->end());
  }
  return all;
}

int HCZlibStream::step(plat::Data& out, size_t& produced, size_t grow, int flush) {
  if (produced == out.size()) out.resize(out.size() + grow);
  _z.next_out = out.data() + produced;
  _z.avail_out = static_cast<uInt>(out.size() - produced);
  int status = _mode == kDeflate ? deflate(&_z, flush) : inflate(&_z, flush);
  produced = out.size() - _z.avail_out;
  return status;
}

int HCZlibStream::stepInto(uint8_t* out, size_t size, size_t& produced, int flush) {
  _z.next_out = out;
  _z.avail_out = static_cast<uInt>(size);
  int status = _mode == kDeflate ? deflate(&_z, flush) : inflate(&_z, flush);
  produced = size - _z.avail_out;
  return status;
}

bool HCZlibStream::transformFile(const char* operation, const std::string& sourcePath,
                                 const std::string& destinationPath, const Chunk& chunk, const Close& close,
                                 plat::Error* error, bool privateFile) {
  int out = privateFile ? ::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                        : ::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    plat::setError(error, fileError(plat::format("%s of %@ failed because we were to create a file at %@", operation,
                                                 sourcePath, destinationPath)));
    return false;
  }
  if (!plat::fileExists(sourcePath)) {
    ::close(out);
    plat::setError(error, fileError(plat::format("%s of %@ failed the file does not exist", operation, sourcePath)));
    return false;
  }
  int in = ::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
  auto writeError = [&](int err, const char* what) {
    plat::setError(error, fileError(plat::format("%s of %@ failed because we were unable to write to the "
                                                 "destination data file at %@",
                                                 operation, sourcePath, destinationPath),
                                    std::make_shared<const plat::Error>(plat::posixError(err, what, destinationPath))));
  };
  std::vector<uint8_t> buffer(kFileChunk);
  bool ok = true;
  for (;;) {
    ssize_t n = in < 0 ? -1 : ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      plat::setError(error, fileError(plat::format("%s of %@ failed because we were unable to read from the source "
                                                   "data file",
                                                   operation, sourcePath),
                                      std::make_shared<const plat::Error>(plat::posixError(err, "read", sourcePath))));
      ok = false;
      break;
    }
    // The end of the source, not the size of a read, ends the stream: a
    // source of a whole number of chunks (or none) ends complete too.
    const bool atEnd = n == 0;
    bool writeFailed = false;
    auto write = [&](const uint8_t* bytes, size_t length) {
      if (plat::writeAll(out, bytes, length)) return true;
      writeError(errno, "write");
      writeFailed = true;
      return false;
    };
    if (!chunk(buffer.data(), static_cast<size_t>(n), atEnd, write, error) || writeFailed) {
      ok = false;
      break;
    }
    if (atEnd) break;
  }
  if (in >= 0) ::close(in);
  if (::close(out) != 0 && ok) {
    writeError(errno, "close");
    ok = false;
  }
  auto closeError = close();
  if (ok && closeError) {
    plat::setError(error, *closeError);
    ok = false;
  }
  return ok;
}
