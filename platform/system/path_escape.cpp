#include "platform/system/path_escape.h"

namespace plat {

std::string percentEscapePath(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                c == '-' || c == '_' || c == '.' || c == '~';
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kUpperHexDigits[c >> 4]);
      out.push_back(kUpperHexDigits[c & 15]);
    }
  }
  return out;
}

std::optional<std::string> percentUnescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    int hi = i + 1 < text.size() ? hexDigitValue(static_cast<unsigned char>(text[i + 1])) : -1;
    int lo = i + 2 < text.size() ? hexDigitValue(static_cast<unsigned char>(text[i + 2])) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

}  // namespace plat
