// The small text pieces the codecs share: hexadecimal digits, the one UTF-8
// validator, one code point written as UTF-8, and the JSON escape of each
// byte below 0x80.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace plat {

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

// 0-15 for a hexadecimal digit of either case, else -1.
inline int hexDigitValue(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at `p`,
// or 0 when the bytes there are not one or `end` cuts it off. Well-formed as
// RFC 3629 has it: no overlong forms, no surrogates, nothing past U+10FFFF.
inline size_t utf8SequenceLength(const uint8_t* p, const uint8_t* end) {
  const uint8_t c = *p;
  if (c < 0x80) return 1;
  size_t n;
  uint8_t lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;       // overlong
    else if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;       // overlong
    else if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < n || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return n;
}

// A three-byte sequence whose lead byte puts no limit on its second byte
// (E1-EC, EE, EF: most CJK text), tested in one step.
inline bool isPlainThreeByteUTF8(const uint8_t* p, const uint8_t* end) {
  return end - p >= 3 && p[0] >= 0xE1 && p[0] <= 0xEF && p[0] != 0xED && (p[1] & 0xC0) == 0x80 &&
         (p[2] & 0xC0) == 0x80;
}

// Well-formed UTF-8 throughout (as utf8SequenceLength).
inline bool isValidUTF8(const uint8_t* s, size_t n) {
  const uint8_t* const e = s + n;
  while (s < e) {
    if (e - s >= 8) {  // eight ASCII bytes at a time
      uint64_t w;
      std::memcpy(&w, s, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        s += 8;
        continue;
      }
    }
    if (*s < 0x80) {
      ++s;
    } else if (isPlainThreeByteUTF8(s, e)) {
      s += 3;
    } else if (size_t len = utf8SequenceLength(s, e)) {
      s += len;
    } else {
      return false;
    }
  }
  return true;
}
inline bool isValidUTF8(std::string_view s) {
  return isValidUTF8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The three bytes a lone UTF-16 surrogate takes when encoded on its own (ED
// A0-BF 80-BF): not UTF-8, but what a platform string can hold. Returns the
// surrogate (D800-DFFF) when they start at `p`, else 0.
inline uint32_t encodedSurrogateAt(const uint8_t* p, const uint8_t* end) {
  if (end - p < 3 || p[0] != 0xED || p[1] < 0xA0 || p[1] > 0xBF || (p[2] & 0xC0) != 0x80) return 0;
  return 0xD000u | (static_cast<uint32_t>(p[1] & 0x3F) << 6) | (p[2] & 0x3Fu);
}

// A code point below 0x110000 as 1 to 4 bytes at `out`, which has room for
// four; surrogates get their three-byte form. Returns the bytes written.
inline size_t encodeUTF8(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// The same appended to `out`, so a lone surrogate is kept as the character
// it was.
inline void appendUTF8(std::string& out, uint32_t c) {
  char bytes[4];
  out.append(bytes, encodeUTF8(c, bytes));
}

// How a JSON writer writes each byte: 0 as itself, 'u' as \u00xx, any other
// letter as a backslash and that letter. The slash is left to the writer's
// option. Bytes from 0x80 are 0.
struct JSONEscapeTable {
  char e[256];
  constexpr JSONEscapeTable() : e() {
    for (int c = 0; c < 0x20; ++c) e[c] = 'u';
    e[0x08] = 'b';
    e[0x09] = 't';
    e[0x0A] = 'n';
    e[0x0C] = 'f';
    e[0x0D] = 'r';
    e[0x22] = '"';
    e[0x5C] = '\\';
  }
};
inline constexpr JSONEscapeTable kJSONEscapes;

// Appends backslash and the escape letter of `c` (as the table gives it) to
// a text or to bytes.
template <class Out>
inline void appendJSONEscape(Out& out, unsigned char c, char letter) {
  using Unit = typename Out::value_type;
  out.push_back(static_cast<Unit>('\\'));
  out.push_back(static_cast<Unit>(letter));
  if (letter == 'u') {
    out.push_back(static_cast<Unit>('0'));
    out.push_back(static_cast<Unit>('0'));
    out.push_back(static_cast<Unit>(kLowerHexDigits[c >> 4]));
    out.push_back(static_cast<Unit>(kLowerHexDigits[c & 15]));
  }
}

}  // namespace plat
