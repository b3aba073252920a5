// The small text pieces the codecs share: hexadecimal digits, one code point
// appended as UTF-8, and the JSON escape of each byte below 0x80.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// 0-15 for a hexadecimal digit of either case, else -1.
inline int hexDigitValue(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// A code point below 0x110000 as UTF-8; surrogates get their three-byte
// form, so a lone one is kept as the character it was.
inline void appendUTF8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
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

// Appends backslash and the escape letter of `c` (as the table gives it).
inline void appendJSONEscape(std::string& out, unsigned char c, char letter) {
  out.push_back('\\');
  out.push_back(letter);
  if (letter == 'u') {
    out.append("00");
    out.push_back(kLowerHexDigits[c >> 4]);
    out.push_back(kLowerHexDigits[c & 15]);
  }
}

}  // namespace plat
