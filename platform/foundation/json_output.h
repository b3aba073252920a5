// What the three JSON writers share beyond text_codec.h: a close estimate of
// a value's text, so that an output is reserved once instead of being grown
// and copied as it fills, and the run of a string's bytes that are written
// as they stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/foundation/value.h"

namespace plat {

// The bytes a writer puts around what it writes: per array element and per
// dictionary member (besides the key's quotes), and per level of nesting
// for each of them when it indents.
struct JSONLayout {
  size_t elementExtra = 1;  // ","
  size_t memberExtra = 2;   // ":" and ","
  size_t indentPerDepth = 0;
};

// About the length of the value's JSON text in that layout: strings as they
// are (escapes not counted), numbers at the width of the longest integer or
// double, decimals at that of the longest plain decimal. Nesting deeper than
// the writers allow is not counted. Past a few thousand values, the rest of
// each container is taken to be like its part counted (adding at most 64
// MiB in all), so a large value costs no walk over all of it.
size_t jsonLengthEstimate(const Value& value, const JSONLayout& layout = {});

// The first byte from `p` that a JSON writer escapes (a control byte, the
// quote, the backslash, and the slash when `slash`), or `end`. Bytes from
// 0x80 pass: they are the writer's to check.
inline const uint8_t* jsonUnescapedRunEnd(const uint8_t* p, const uint8_t* end, bool slash) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i solidus = _mm_set1_epi8(slash ? '/' : '"'), lastControl = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A control byte is one whose unsigned maximum with 0x1F is 0x1F.
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, lastControl), lastControl);
    const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, solidus), control));
    if (const int mask = _mm_movemask_epi8(stop)) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  // Eight at a time: a zero byte of each comparison, or a byte below 0x20
  // that is not from 0x80. The lowest marked byte is the first stop (borrows
  // only reach above it).
  constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  const uint64_t slashes = ones * static_cast<uint8_t>(slash ? '/' : '"');
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t q = w ^ (ones * '"'), b = w ^ (ones * '\\'), s = w ^ slashes;
    if (const uint64_t stop =
            (((q - ones) & ~q) | ((b - ones) & ~b) | ((s - ones) & ~s) | ((w - ones * 0x20) & ~w)) & highs)
      return p + (__builtin_ctzll(stop) >> 3);
    p += 8;
  }
  for (; p < end; ++p) {
    const uint8_t c = *p;
    if (c < 0x20 || c == '"' || c == '\\' || (slash && c == '/')) return p;
  }
  return p;
}

// Called as a walk over an array reaches `at`: each container element is a
// heap block of its own, its entries another, and its longer strings more,
// so a walk over many of them waits on cache misses at every element. Asking
// for those blocks a few elements ahead, in the order their addresses become
// known, overlaps the waits with the work. Bounded per element.
[[gnu::always_inline]] inline void prefetchAhead(const Value* at, const Value* end) {
  constexpr ptrdiff_t kBlock = 8, kEntries = 5, kStrings = 2;
  constexpr size_t kMaxLines = 16, kMaxMembers = 16;
  if (end - at > kBlock) {
    const Value& v = at[kBlock];
    if (v.isDictionary()) __builtin_prefetch(&v.dictionary());
    else if (v.isArray()) __builtin_prefetch(&v.array());
  }
  if (end - at > kEntries) {
    const Value& v = at[kEntries];
    const char* first = nullptr;
    size_t bytes = 0;
    if (v.isDictionary()) {
      const auto& e = v.dictionary().entries();
      first = reinterpret_cast<const char*>(e.data());
      bytes = e.size() * sizeof(e[0]);
    } else if (v.isArray()) {
      const Array& a = v.array();
      first = reinterpret_cast<const char*>(a.data());
      bytes = a.size() * sizeof(a[0]);
    }
    for (size_t off = 0; off < bytes && off < kMaxLines * 64; off += 64) __builtin_prefetch(first + off);
  }
  if (end - at > kStrings && at[kStrings].isDictionary()) {
    size_t n = 0;
    for (const auto& [key, value] : at[kStrings].dictionary().entries()) {
      if (++n > kMaxMembers) break;
      if (value.isString()) __builtin_prefetch(value.string().data());
    }
  }
}

// An output reserved from an estimate far above what was written gives the
// rest back: a value counted in part can be estimated high.
template <class Out>
inline void releaseUnused(Out& out) {
  if (out.capacity() - out.size() > out.size() + (size_t{1} << 20)) out.shrink_to_fit();
}

// Appending to either kind of output a writer makes: text or bytes.
inline void appendBytes(std::string& out, const void* bytes, size_t n) {
  out.append(static_cast<const char*>(bytes), n);
}
inline void appendBytes(Data& out, const void* bytes, size_t n) {
  const auto* b = static_cast<const uint8_t*>(bytes);
  out.insert(out.end(), b, b + n);
}
template <class Out>
inline void appendBytes(Out& out, std::string_view text) {
  appendBytes(out, text.data(), text.size());
}

}  // namespace plat
