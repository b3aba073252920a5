#include "app/trans/UploadFile.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>

#include "Framework/Staticclass/NSDataExpand.h"
#include "platform/foundation/file_util.h"

namespace {

constexpr uint64_t kMod = 65521;
constexpr int kMaxTried = 16;
// Bytes that both sums take before they must be reduced (zlib's NMAX).
constexpr int32_t kRun = 5552;
// Windows whose checksums are worked out before the first of them is tested.
constexpr int kAhead = 16;

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The local file mapped read-only for the scan: the kernel pages it in and
// out, so the matcher's memory does not grow with the file.
class MappedFile {
public:
  MappedFile(int fd, size_t size) : size_(size) {
    if (size == 0) return;
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return;
    ::madvise(p, size, MADV_SEQUENTIAL);
    data_ = static_cast<const uint8_t*>(p);
  }
  ~MappedFile() {
    if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const uint8_t* data() const { return data_; }

private:
  const uint8_t* data_ = nullptr;
  size_t size_;
};

}  // namespace

UploadFile::UploadFile() : known_(2, 0), filter_(1, 0) {
  serverhave_.reserve(1000);
  serverinfo_.reserve(1000);
}

bool UploadFile::resolve_serverinof(const plat::Data& list) {
  serverinfo_.clear();
  serverhave_.clear();
  // Nothing known: two free slots and a filter of one empty word.
  known_.assign(2, 0);
  knownShift_ = 31;
  knownMask_ = 1;
  filter_.assign(1, 0);
  filterShift_ = 26;
  if (list.empty() || list.size() % 20 != 0) return false;
  const size_t n = list.size() / 20;
  if (n > kMaxBlocks) return false;
  // Slots for four times the blocks (a free one is soon found), and a filter
  // of 32 bits a block (256 KiB for the longest list: it stays in the
  // cache) that rules out all but a few of the windows that match nothing.
  uint32_t k = 4;
  while ((size_t{1} << k) < 4 * n) ++k;
  known_.assign(size_t{1} << k, 0);
  knownShift_ = 32 - k;
  knownMask_ = (uint32_t{1} << k) - 1;
  uint32_t f = 6;
  while ((size_t{1} << f) < 32 * n) ++f;
  filter_.assign((size_t{1} << f) / 64, 0);
  filterShift_ = 32 - f;
  for (size_t i = 0; i < n; ++i) {
    InfoItem item;
    std::memcpy(item.MD5.data(), list.data() + 4 * n + 16 * i, 16);
    item.index = static_cast<uint16_t>(i % 65536);
    const uint32_t weak = le32(list.data() + 4 * i);
    serverinfo_.emplace(weak, item);
    // No window has a half of 65521 or more: such a checksum is never asked for.
    if ((weak & 0xFFFF) >= kMod || (weak >> 16) >= kMod) continue;
    if (!known(weak)) {
      uint32_t at = (weak * 0x9E3779B1u) >> knownShift_;
      while (known_[at] != 0) at = (at + 1) & knownMask_;
      known_[at] = weak + 1;
      const uint32_t bit = filterBit(weak);
      filter_[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
  }
  return true;
}

uint64_t UploadFile::alder32(const uint8_t* bytes, int32_t length) {
  uint64_t a = 1, b = 0;
  // Reduced once a run rather than once a byte: within a run neither sum
  // can pass 32 bits.
  for (int32_t at = 0; at < length; at += kRun) {
    const int32_t end = length - at < kRun ? length : at + kRun;
    for (int32_t i = at; i < end; ++i) {
      a += bytes[i];
      b += a;
    }
    a %= kMod;
    b %= kMod;
  }
  return b * 65536 + a;
}

uint64_t UploadFile::rolling32(uint64_t c, uint8_t out, uint8_t in, int32_t length) {
  const uint64_t a = c % 65536, b = c / 65536;
  const uint64_t a2 = (a + kMod - out + in) % kMod;
  const uint64_t b2 = (b + kMod - ((out * static_cast<uint64_t>(length)) % kMod) + a2 + kMod - 1) % kMod;
  return b2 * 65536 + a2;
}

bool UploadFile::resolve_file(int fileFd, int newFd) {
  struct stat st{};
  if (::fstat(fileFd, &st) != 0 || st.st_size < 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  // The session's block length must be usable: positive, and a window the
  // scan can hold.
  if (piece_ <= 0) return false;
  const uint64_t L = static_cast<uint64_t>(piece_);
  MappedFile map(fileFd, size);
  if (size > 0 && map.data() == nullptr) return false;
  const uint8_t* d = map.data();
  NSDataExpand::DigestStream md5(NSDataExpand::DigestStream::kMD5);
  auto literal = [&](uint64_t from, uint64_t to) {
    return from >= to || plat::writeAll(newFd, d + from, to - from);
  };

  // The window's sums, kept reduced: one step adds and subtracts without a
  // division (the Adler-32 of the window is b * 65536 + a).
  uint32_t outTimesL[256];
  for (uint32_t v = 0; v < 256; ++v) outTimesL[v] = static_cast<uint32_t>((v * (L % kMod)) % kMod);
  constexpr int32_t M = static_cast<int32_t>(kMod);
  const uint64_t giveUpAt = (2 * size) / 3;
  uint64_t pos = 0, last = 0;
  for (;;) {
    // A window that ends exactly at the end of the file is tested too: the
    // last full block can match like any other.
    if (pos + L > size) return literal(last, size);
    const uint64_t fresh = alder32(d + pos, piece_);
    int32_t a = static_cast<int32_t>(fresh & 0xFFFF), b = static_cast<int32_t>(fresh >> 16);
    uint64_t next = pos;  // the window whose sums a and b are
    for (bool matched = false; !matched;) {
      // The checksums of the next windows first, their slots asked for from
      // memory together, then tested one by one.
      uint32_t weak[kAhead];
      const uint64_t first = next;
      int n = 0;
      while (n < kAhead && next + L <= size) {
        weak[n] = static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(a);
        prefetchFilter(weak[n++]);
        if (next + L < size) {
          const uint8_t out = d[next], in = d[next + L];
          a += in - out;
          if (a < 0) a += M;
          if (a >= M) a -= M;
          b += a - 1 - static_cast<int32_t>(outTimesL[out]);
          if (b < 0) b += M;
          if (b >= M) b -= M;
        }
        ++next;
      }
      if (n == 0) return literal(last, size);
      for (int j = 0; j < n && !matched; ++j) {
        const uint64_t at = first + j;
        if (at > giveUpAt && serverhave_.empty()) return false;
        if (!passes(weak[j]) || !known(weak[j])) continue;
        md5.update({d + at, static_cast<size_t>(L)});
        const auto sum = md5.digest();
        // A list made of one weak checksum must not make every window cost
        // the whole list: only the first few blocks under one are tried.
        const auto [from, to] = serverinfo_.equal_range(weak[j]);
        auto it = from;
        int tried = 0;
        while (it != to && tried < kMaxTried &&
               (!sum || sum->size() != 16 || std::memcmp(sum->data(), it->second.MD5.data(), 16) != 0)) {
          ++it;
          ++tried;
        }
        if (it == to || tried == kMaxTried) continue;
        serverhave_.push_back(ServerItem{at, it->second.index});
        if (!literal(last, at)) return false;
        last = pos = at + L;
        matched = true;
      }
    }
  }
}

std::optional<plat::Data> UploadFile::get_serverhave() const {
  if (serverhave_.empty()) return std::nullopt;
  plat::Data out;
  out.reserve(serverhave_.size() * 10);
  for (const ServerItem& s : serverhave_) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(s.offset >> (8 * i)));
    out.push_back(static_cast<uint8_t>(s.index));
    out.push_back(static_cast<uint8_t>(s.index >> 8));
  }
  return out;
}
