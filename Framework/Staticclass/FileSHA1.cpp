#include "Framework/Staticclass/FileSHA1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "Framework/Staticclass/NSDataExpand.h"

namespace {

// Reads are at least this long whatever the chunk length, so a 4096-byte
// chunk doesn't cost one system call per page; larger chunks are read as
// asked, up to a bound that keeps an absurd length from allocating the file.
constexpr size_t kMinRead = size_t{256} << 10;
constexpr size_t kMaxRead = size_t{16} << 20;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

struct FreeBuffer {
  void operator()(unsigned char* p) const { std::free(p); }
};

}  // namespace

std::optional<std::string> FileSHA1::FileMD5HashCreateWithPath(const std::string& path, uint64_t size) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  if (size == 0) size = 4096;

  // Non-blocking so that a FIFO can't hold the open; only regular files are
  // hashed, as a FIFO or a device would block or never end.
  Fd file;
  do {
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (file.fd < 0 && errno == EINTR);
  if (file.fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  NSDataExpand::DigestStream sha1;

  // Page-aligned: the kernel's copy out of the page cache runs markedly
  // slower into a buffer that is not.
  constexpr size_t kPage = 4096;
  const size_t bufSize = (static_cast<size_t>(std::clamp<uint64_t>(size, kMinRead, kMaxRead)) + kPage - 1) / kPage * kPage;
  std::unique_ptr<unsigned char, FreeBuffer> buf(static_cast<unsigned char*>(std::aligned_alloc(kPage, bufSize)));
  if (!buf) return std::nullopt;
  for (;;) {
    ssize_t n = ::read(file.fd, buf.get(), bufSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;  // a read error: no hash, not the hash of a prefix
    }
    if (n == 0) break;
    if (!sha1.update({buf.get(), static_cast<size_t>(n)})) return std::nullopt;
  }
  return sha1.hexDigest();
}
