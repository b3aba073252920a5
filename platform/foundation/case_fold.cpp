#include "platform/foundation/case_fold.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace plat {
namespace {

// The C.UTF-8 locale carries the full Unicode case table; without it only
// ASCII letters fold.
locale_t utf8Locale() {
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

// Decodes one well-formed sequence at s[i]; 0 when the bytes there are not one.
size_t decode(std::string_view s, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  size_t len;
  uint32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void encode(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

uint32_t lower(uint32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  const locale_t loc = utf8Locale();
  if (!loc) return cp;
  const auto l = static_cast<uint32_t>(towlower_l(static_cast<wint_t>(cp), loc));
  // A mapping into the surrogates or past Unicode would not encode.
  return (l > 0x10FFFF || (l >= 0xD800 && l <= 0xDFFF)) ? cp : l;
}

}  // namespace

std::string foldCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out += static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
      ++i;
      continue;
    }
    uint32_t cp = 0;
    const size_t len = decode(s, i, cp);
    if (len == 0) {
      out += s[i++];
      continue;
    }
    encode(lower(cp), out);
    i += len;
  }
  return out;
}

bool equalFolded(std::string_view a, std::string_view b) {
  bool ascii = true;
  for (char c : a) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  for (char c : b) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (!ascii) return foldCase(a) == foldCase(b);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) return false;
  }
  return true;
}

}  // namespace plat
