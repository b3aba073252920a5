#include "app/trans/UploadFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "Framework/Staticclass/NSDataExpand.h"
#include "platform/foundation/file_util.h"

namespace {

constexpr uint64_t kMod = 65521;
constexpr int kMaxTried = 16;
// Bytes that both sums take before they must be reduced (zlib's NMAX).
constexpr int32_t kRun = 5552;
// Windows whose checksums are worked out before the first of them is tested.
constexpr int kAhead = 16;
// Past this block length the window's buffer would grow too large: such a
// session is sent plain.
constexpr uint64_t kMaxBlock = 64ull << 20;
constexpr uint64_t kReadAhead = 4ull << 20;
// Blocks after a match mostly match too; their digests are worked out side
// by side, at most this many bytes of them at a time.
constexpr uint64_t kBatchBytes = 1ull << 20;
// Below this the helper threads would cost more than they save.
constexpr uint64_t kCrewFrom = 16ull << 20;

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The local file read through a window of its own with pread: a file that
// shrinks under the scan ends it with a short read, never with a fault (a
// mapping of it would raise SIGBUS past its new end).
class Window {
public:
  Window(int fd, uint64_t size, size_t capacity) : fd_(fd), size_(size), buf_(capacity) {}
  // Makes [from, to) readable, reading ahead as far as the buffer goes;
  // false on a short read or a range longer than the buffer.
  bool cover(uint64_t from, uint64_t to) {
    if (has(from, to)) return true;
    if (to - from > buf_.size() || to > size_) return false;
    size_t keep = 0;
    if (from >= base_ && from < base_ + len_) {
      keep = static_cast<size_t>(base_ + len_ - from);
      std::memmove(buf_.data(), buf_.data() + (from - base_), keep);
    }
    base_ = from;
    len_ = keep;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size_ - from, buf_.size()));
    while (len_ < want) {
      const ssize_t r = ::pread(fd_, buf_.data() + len_, want - len_, static_cast<off_t>(base_ + len_));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      len_ += static_cast<size_t>(r);
    }
    return to <= base_ + len_;
  }
  bool has(uint64_t from, uint64_t to) const { return from >= base_ && to <= base_ + len_; }
  // A byte of [base, base + len).
  const uint8_t* at(uint64_t offset) const { return buf_.data() + (offset - base_); }
  size_t capacity() const { return buf_.size(); }

private:
  int fd_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t base_ = 0;
  size_t len_ = 0;
};

// A few threads that work out the MD5s of consecutive blocks with the
// caller: one core's MD5 is what bounds the matcher on a file that mostly
// matches.
class DigestCrew {
public:
  using Digest = std::optional<std::array<uint8_t, 16>>;

  explicit DigestCrew(unsigned helpers) {
    for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(); });
  }
  ~DigestCrew() {
    {
      std::lock_guard l(m_);
      stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }

  // The digests of blocks [0, n) of length L from base, into out[0..n).
  void run(const uint8_t* base, size_t L, size_t n, Digest* out) {
    {
      std::lock_guard l(m_);
      base_ = base;
      L_ = L;
      n_ = n;
      out_ = out;
      next_.store(0);
      busy_ = threads_.size();
      ++generation_;
    }
    wake_.notify_all();
    NSDataExpand::DigestStream md5(NSDataExpand::DigestStream::kMD5);
    share(md5, base, L, n, out);
    std::unique_lock l(m_);
    done_.wait(l, [&] { return busy_ == 0; });
  }

private:
  void share(NSDataExpand::DigestStream& md5, const uint8_t* base, size_t L, size_t n, Digest* out) {
    for (size_t i = next_.fetch_add(1); i < n; i = next_.fetch_add(1)) {
      out[i].reset();
      if (md5.update({base + i * L, L})) {
        const auto sum = md5.digest();
        if (sum && sum->size() == 16) {
          out[i].emplace();
          std::copy(sum->begin(), sum->end(), out[i]->begin());
        }
      } else {
        md5.reset();
      }
    }
  }

  void work() {
    NSDataExpand::DigestStream md5(NSDataExpand::DigestStream::kMD5);
    uint64_t seen = 0;
    for (;;) {
      const uint8_t* base;
      size_t L, n;
      Digest* out;
      {
        std::unique_lock l(m_);
        wake_.wait(l, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        base = base_;
        L = L_;
        n = n_;
        out = out_;
      }
      share(md5, base, L, n, out);
      {
        std::lock_guard l(m_);
        if (--busy_ == 0) done_.notify_one();
      }
    }
  }

  std::mutex m_;
  std::condition_variable wake_, done_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
  uint64_t generation_ = 0;
  size_t busy_ = 0;
  const uint8_t* base_ = nullptr;
  size_t L_ = 0, n_ = 0;
  Digest* out_ = nullptr;
  std::atomic<size_t> next_{0};
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
  if (L > kMaxBlock) return false;
  Window w(fileFd, size, static_cast<size_t>(std::min<uint64_t>(size, L + kAhead + std::max(L, kReadAhead))));
  NSDataExpand::DigestStream md5(NSDataExpand::DigestStream::kMD5);
  uint64_t last = 0;
  // The literal bytes [from, to), through the window piece by piece.
  auto literal = [&](uint64_t from, uint64_t to) {
    while (from < to) {
      const uint64_t end = std::min<uint64_t>(to, from + w.capacity());
      if (!w.cover(from, end) || !plat::writeAll(newFd, w.at(from), end - from)) return false;
      from = end;
    }
    return true;
  };
  // [from, to) readable; what lies before `from` and is still unmatched is
  // a literal for sure and is written out first, so the window can move.
  auto ensure = [&](uint64_t from, uint64_t to) {
    if (w.has(from, to)) return true;
    if (!literal(last, from)) return false;
    last = from;
    return w.cover(from, to);
  };

  // The window's sums, kept reduced: one step adds and subtracts without a
  // division (the Adler-32 of the window is b * 65536 + a).
  uint32_t outTimesL[256];
  for (uint32_t v = 0; v < 256; ++v) outTimesL[v] = static_cast<uint32_t>((v * (L % kMod)) % kMod);
  constexpr int32_t M = static_cast<int32_t>(kMod);
  const uint64_t giveUpAt = (2 * size) / 3;
  // The server block whose MD5 this is among those of a weak checksum; only
  // the first few under one are tried, so a list made of one weak checksum
  // does not make every window cost the whole list.
  auto blockFor = [&](uint32_t weak, const uint8_t* sum) -> std::optional<uint16_t> {
    if (!sum) return std::nullopt;
    const auto [from, to] = serverinfo_.equal_range(weak);
    int tried = 0;
    for (auto it = from; it != to && tried < kMaxTried; ++it, ++tried) {
      if (std::memcmp(sum, it->second.MD5.data(), 16) == 0) return it->second.index;
    }
    return std::nullopt;
  };
  const size_t batch = static_cast<size_t>(std::max<uint64_t>(1, kBatchBytes / L));
  std::unique_ptr<DigestCrew> crew;
  std::vector<DigestCrew::Digest> digests;
  std::vector<uint32_t> weaks;
  uint64_t pos = 0;
  for (;;) {
    // A window that ends exactly at the end of the file is tested too: the
    // last full block can match like any other.
    if (pos + L > size) return literal(last, size);
    // Right after a match: the run of following blocks whose weak checksums
    // are known gets its digests side by side, and is taken as far as it
    // matches. What it does not take goes the one-window road below, so the
    // result is the same as matching one window after another.
    const size_t n = std::min<uint64_t>(batch, (size - pos) / L);
    if (size >= kCrewFrom && n >= 2 && last == pos && !serverhave_.empty()) {
      if (!ensure(pos, pos + n * L)) return false;
      weaks.clear();
      for (size_t k = 0; k < n; ++k) {
        const uint64_t c = alder32(w.at(pos + k * L), piece_);
        const uint32_t weak = static_cast<uint32_t>(c >> 16) << 16 | static_cast<uint32_t>(c & 0xFFFF);
        if (!passes(weak) || !known(weak)) break;
        weaks.push_back(weak);
      }
      if (weaks.size() >= 2) {
        if (!crew) {
          const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
          crew = std::make_unique<DigestCrew>(std::min(3u, cores - 1));
        }
        digests.resize(weaks.size());
        crew->run(w.at(pos), static_cast<size_t>(L), weaks.size(), digests.data());
        size_t taken = 0;
        for (; taken < weaks.size(); ++taken) {
          const auto& d = digests[taken];
          const auto index = blockFor(weaks[taken], d ? d->data() : nullptr);
          if (!index) break;
          serverhave_.push_back(ServerItem{pos, *index});
          last = pos = pos + L;
        }
        if (taken > 0) continue;
      }
    }
    if (!ensure(pos, std::min<uint64_t>(size, pos + L + kAhead))) return false;
    const uint64_t fresh = alder32(w.at(pos), piece_);
    int32_t a = static_cast<int32_t>(fresh & 0xFFFF), b = static_cast<int32_t>(fresh >> 16);
    uint64_t next = pos;  // the window whose sums a and b are
    for (bool matched = false; !matched;) {
      // The checksums of the next windows first, their slots asked for from
      // memory together, then tested one by one.
      uint32_t weak[kAhead];
      const uint64_t first = next;
      if (!ensure(first, std::min<uint64_t>(size, first + L + kAhead))) return false;
      const uint8_t* d = w.at(first);
      int n = 0;
      while (n < kAhead && next + L <= size) {
        weak[n] = static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(a);
        prefetchFilter(weak[n++]);
        if (next + L < size) {
          const uint8_t out = d[next - first], in = d[next - first + L];
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
        md5.update({d + j, static_cast<size_t>(L)});
        const auto sum = md5.digest();
        const auto index = blockFor(weak[j], sum && sum->size() == 16 ? sum->data() : nullptr);
        if (!index) continue;
        serverhave_.push_back(ServerItem{at, *index});
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
