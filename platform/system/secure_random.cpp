#include "platform/system/secure_random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/error.h"

namespace plat {

namespace {
bool fromDevice(uint8_t* p, size_t n) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      close(fd);
      return false;
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
  close(fd);
  return true;
}
}  // namespace

void secureRandomBytes(void* buffer, size_t length) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t left = length;
  while (left > 0) {
    ssize_t r = getrandom(p, left, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      // Kernels without getrandom still have the device.
      if (fromDevice(p, left)) return;
      throw Exception(kInternalInconsistencyException,
                      std::string("no random bytes from the kernel: ") + std::strerror(errno));
    }
    p += r;
    left -= static_cast<size_t>(r);
  }
}

Data secureRandomData(size_t length) {
  Data d(length);
  if (length) secureRandomBytes(d.data(), length);
  return d;
}

uint32_t secureRandomUInt32() {
  uint32_t v = 0;
  secureRandomBytes(&v, sizeof v);
  return v;
}

std::string secureRandomHex(size_t length) {
  static const char digits[] = "0123456789abcdef";
  Data d = secureRandomData(length);
  std::string out;
  out.reserve(length * 2);
  for (uint8_t b : d) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace plat
