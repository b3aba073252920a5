#include "app/trans/UploadFile.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>

#include "Framework/Staticclass/NSDataExpand.h"
#include "platform/foundation/file_util.h"

namespace {

constexpr uint64_t kMod = 65521;
constexpr int kMaxTried = 16;

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

UploadFile::UploadFile() {
  serverhave_.reserve(1000);
  serverinfo_.reserve(1000);
}

bool UploadFile::resolve_serverinof(const plat::Data& list) {
  serverinfo_.clear();
  serverhave_.clear();
  filter_.fill(0);
  if (list.empty() || list.size() % 20 != 0) return false;
  const size_t n = list.size() / 20;
  if (n > kMaxBlocks) return false;
  for (size_t i = 0; i < n; ++i) {
    InfoItem item;
    std::memcpy(item.MD5.data(), list.data() + 4 * n + 16 * i, 16);
    item.index = static_cast<uint16_t>(i % 65536);
    const uint32_t weak = le32(list.data() + 4 * i);
    serverinfo_.emplace(weak, item);
    const uint32_t k = filterKey(weak);
    filter_[k >> 6] |= uint64_t{1} << (k & 63);
  }
  return true;
}

uint64_t UploadFile::alder32(const uint8_t* bytes, int32_t length) {
  uint64_t a = 1, b = 0;
  for (int32_t i = 0; i < length; ++i) {
    a = (a + bytes[i]) % kMod;
    b = (b + a) % kMod;
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
  auto literal = [&](uint64_t from, uint64_t to) {
    return from >= to || plat::writeAll(newFd, d + from, to - from);
  };

  uint64_t pos = 0, last = 0, weak = 0;
  bool fresh = true;
  for (;;) {
    // A window that ends exactly at the end of the file is tested too: the
    // last full block can match like any other.
    if (pos + L > size) return literal(last, size);
    if (pos > (2 * size) / 3 && serverhave_.empty()) return false;
    if (fresh) {
      weak = alder32(d + pos, piece_);
      fresh = false;
    } else {
      weak = rolling32(weak, d[pos - 1], d[pos + L - 1], piece_);
    }
    const uint32_t w = static_cast<uint32_t>(weak);
    if (!maybeKnown(w)) {
      ++pos;
      continue;
    }
    const auto [from, to] = serverinfo_.equal_range(w);
    if (from == to) {
      ++pos;
      continue;
    }
    const plat::Data md5 = NSDataExpand::md5HexDigest(NSDataExpand::Bytes(d + pos, L));
    // A list made of one weak checksum must not make every window cost the
    // whole list: only the first few blocks under one checksum are tried.
    auto it = from;
    int tried = 0;
    while (it != to && tried < kMaxTried &&
           (md5.size() != 16 || std::memcmp(md5.data(), it->second.MD5.data(), 16) != 0)) {
      ++it;
      ++tried;
    }
    if (it == to || tried == kMaxTried) {
      ++pos;
      continue;
    }
    serverhave_.push_back(ServerItem{pos, it->second.index});
    if (!literal(last, pos)) return false;
    last = pos = pos + L;
    fresh = true;
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
