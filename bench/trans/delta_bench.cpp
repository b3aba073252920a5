// The block matcher on one pair of files: the server's copy (base) and the
// edited file (local), with block length L. Prints the literal bytes (the
// difference file), the have-list bytes, the checksum list bytes and the
// matcher's time, as "key value" lines for run.sh.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/trans/UploadFile.h"

namespace {

// The list an upload server sends for `base`: weak checksums, then digests.
plat::Data checksums(const uint8_t* base, size_t size, size_t L) {
  const size_t n = size / L;
  plat::Data out(20 * n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t a = static_cast<uint32_t>(::adler32(1, base + i * L, static_cast<uInt>(L)));
    for (int k = 0; k < 4; ++k) out[4 * i + k] = static_cast<uint8_t>(a >> (8 * k));
    plat::Data md5 = NSDataExpand::md5HexDigest(NSDataExpand::Bytes(base + i * L, L));
    std::copy(md5.begin(), md5.end(), out.begin() + static_cast<std::ptrdiff_t>(4 * n + 16 * i));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s base local L diff-out\n", argv[0]);
    return 2;
  }
  const size_t L = std::strtoul(argv[3], nullptr, 10);
  int bfd = ::open(argv[1], O_RDONLY);
  struct stat st{};
  if (bfd < 0 || ::fstat(bfd, &st) != 0) return 1;
  void* base = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, bfd, 0);
  if (base == MAP_FAILED) return 1;
  const plat::Data list = checksums(static_cast<const uint8_t*>(base), static_cast<size_t>(st.st_size), L);

  UploadFile f;
  if (!f.resolve_serverinof(list)) {
    std::printf("refused 1\n");
    return 1;
  }
  f.setPiece(static_cast<int32_t>(L));
  int lfd = ::open(argv[2], O_RDONLY);
  int dfd = ::open(argv[4], O_RDWR | O_CREAT | O_TRUNC, 0600);
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = f.resolve_file(lfd, dfd);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  struct stat ds{};
  ::fstat(dfd, &ds);
  auto have = f.get_serverhave();
  std::printf("matched %d\nliteral %lld\nhave %zu\nchecksums %zu\nseconds %.6f\n", ok ? 1 : 0,
              static_cast<long long>(ds.st_size), have ? have->size() : 0, list.size(), secs);
  return ok ? 0 : 1;
}
