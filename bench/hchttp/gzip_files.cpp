// A gigabyte file compressed and inflated again between files with
// HCDataCompressor and HCDataDecompressor, checked by CRC-32, with the peak
// memory of the process; beside gzip(1) on the same file in the same run.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Framework/HCHTTP/HCDataCompressor.h"
#include "Framework/HCHTTP/HCDataDecompressor.h"
#include "bench/common/figure.h"
#include "platform/foundation/file_util.h"

namespace {
double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
long peakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}
uLong crcOf(const std::string& path, size_t* size) {
  int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<unsigned char> buf(1 << 20);
  uLong crc = crc32(0, nullptr, 0);
  *size = 0;
  ssize_t n;
  while (fd >= 0 && (n = ::read(fd, buf.data(), buf.size())) > 0) {
    crc = crc32(crc, buf.data(), static_cast<uInt>(n));
    *size += static_cast<size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  return crc;
}
}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const std::string dir = plat::temporaryDirectory();
  const std::string src = dir + "/hcgz-src", gz = dir + "/hcgz-src.gz", back = dir + "/hcgz-back";
  {
    // Text with some noise: compresses, but not to nothing.
    std::mt19937 rng(5);
    std::vector<unsigned char> chunk(1 << 20);
    int fd = ::open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (size_t m = 0; m < mib; ++m) {
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = (i & 4095) < 512 ? rng() & 0xFF : "quorva block "[i % 13];
      if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 1;
    }
    ::close(fd);
  }
  size_t srcSize = 0;
  const uLong srcCrc = crcOf(src, &srcSize);
  const long before = peakKiB();
  plat::Error e;
  double t0 = seconds();
  if (!HCDataCompressor::compressDataFromFile(src, gz, &e)) return std::printf("compress: %s\n", e.description().c_str()), 1;
  double t1 = seconds();
  if (!HCDataDecompressor::uncompressDataFromFile(gz, back, &e)) return std::printf("inflate: %s\n", e.description().c_str()), 1;
  double t2 = seconds();
  size_t backSize = 0;
  const uLong backCrc = crcOf(back, &backSize);
  const long after = peakKiB();
  std::string cmd = "gzip -6 -c " + src + " > " + gz + ".ref";
  double r0 = seconds();
  if (std::system(cmd.c_str()) != 0) return 1;
  double r1 = seconds();
  cmd = "gzip -d -c " + gz + ".ref > " + back + ".ref";
  if (std::system(cmd.c_str()) != 0) return 1;
  double r2 = seconds();
  const double m = static_cast<double>(srcSize) / (1 << 20);
  std::printf("gzip files, %zu MiB: round trip %s\n", mib, backCrc == srcCrc && backSize == srcSize ? "byte-exact" : "WRONG");
  const std::string size = std::to_string(mib) + " MiB";
  bool reported = qvbench::reportFigure({"deflate a file of " + size, m / (t1 - t0), "MiB/s", "gzip -6", m / (r1 - r0), ">=0.9"});
  reported = qvbench::reportFigure({"inflate a file of " + size, m / (t2 - t1), "MiB/s", "gzip -d", m / (r2 - r1), ">=0.9"}) &&
             reported;
  std::printf("  peak memory grew by %ld KiB during the round trip\n", after - before);
  for (const auto& p : {src, gz, back, gz + ".ref", back + ".ref"}) ::unlink(p.c_str());
  return backCrc == srcCrc && reported ? 0 : 1;
}
