#include "Framework/JSONCategories/JSONCategories.h"

#include <cstring>

#include "platform/foundation/text_codec.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// The white-space-and-newline set: ASCII spaces and line ends, NEL, NBSP and
// the Unicode spaces and separators.
size_t JSONCategoryScanner::whiteSpaceLengthAt(size_t pos) const {
  if (pos >= text_.size()) return 0;
  const unsigned char c = static_cast<unsigned char>(text_[pos]);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (c < 0x80) return 0;
  auto at = [&](size_t i) { return pos + i < text_.size() ? static_cast<unsigned char>(text_[pos + i]) : 0; };
  if (c == 0xC2 && (at(1) == 0x85 || at(1) == 0xA0)) return 2;
  if (c == 0xE1 && at(1) == 0x9A && at(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && at(1) == 0x80 && ((at(2) >= 0x80 && at(2) <= 0x8A) || at(2) == 0xA8 || at(2) == 0xA9 || at(2) == 0xAF))
    return 3;
  if (c == 0xE2 && at(1) == 0x81 && at(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && at(1) == 0x80 && at(2) == 0x80) return 3;  // U+3000
  return 0;
}

bool JSONCategoryScanner::scanJSONWhiteSpace() {
  size_t start = pos_;
  while (size_t n = whiteSpaceLengthAt(pos_)) pos_ += n;
  return pos_ != start;
}

bool JSONCategoryScanner::scanString(std::string_view s) {
  scanJSONWhiteSpace();
  if (text_.substr(pos_, s.size()) != s) return false;
  pos_ += s.size();
  return true;
}

void JSONCategoryScanner::scanUpToString(std::string_view s) {
  size_t at = text_.find(s, pos_);
  pos_ = at == std::string_view::npos ? text_.size() : at;
}

size_t JSONCategoryScanner::locationOfString(std::string_view s) const {
  return text_.substr(pos_, s.size()) == s ? pos_ : kNotFound;
}

bool JSONCategoryScanner::scanJSONObject(plat::Value* object) {
  scanUpToString(jsonObjectStartString);
  if (!scanJSONObjectStartString()) return false;
  if (depth_ >= JSONCategories::kMaxDepth) return false;
  ++depth_;
  plat::Dictionary dict;
  scanJSONWhiteSpace();
  for (;;) {
    std::string key;
    plat::Value value;
    if (!scanJSONString(&key) || !scanJSONKeyValueSeparator() || !scanJSONValue(&value)) break;
    dict.set(std::move(key), std::move(value));
    scanJSONWhiteSpace();
    if (locationOfString(jsonValueSeparatorString) != kNotFound) ++pos_;
  }
  --depth_;
  if (!scanJSONObjectEndString()) return false;
  if (object) *object = plat::Value(std::move(dict));
  return true;
}

bool JSONCategoryScanner::scanJSONArray(plat::Value* array) {
  scanJSONArrayStartString();  // its absence is not an error
  if (depth_ >= JSONCategories::kMaxDepth) return false;
  ++depth_;
  plat::Array a;
  for (;;) {
    plat::Value value;
    if (!scanJSONValue(&value)) break;
    a.push_back(std::move(value));
    scanJSONWhiteSpace();
    if (locationOfString(jsonValueSeparatorString) != kNotFound) ++pos_;
  }
  --depth_;
  if (!scanJSONArrayEndString()) return false;
  if (array) *array = plat::Value(std::move(a));
  return true;
}

bool JSONCategoryScanner::scanUnicodeCharacterIntoString(std::string& string) {
  auto unit = [&](size_t at) -> int {
    if (at + 4 > text_.size()) return -1;
    int v = 0;
    for (size_t i = 0; i < 4; ++i) {
      int h = plat::hexDigitValue(static_cast<unsigned char>(text_[at + i]));
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    return v;
  };
  int u = unit(pos_);
  if (u < 0) return false;
  pos_ += 4;
  uint32_t c = static_cast<uint32_t>(u);
  if (c >= 0xD800 && c <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
    int low = unit(pos_ + 2);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
      pos_ += 6;
    }
  }
  // A surrogate without its partner has no UTF-8 form.
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
  plat::appendUTF8(string, c);
  return true;
}

bool JSONCategoryScanner::scanJSONString(std::string* string) {
  if (!scanJSONStringDelimiterString()) return false;
  std::string s;
  for (;;) {
    if (isAtEnd()) return false;
    const char c = text_[pos_];
    if (c == '"') break;
    if (c != '\\') {
      size_t run = pos_;
      while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\\') ++pos_;
      s.append(text_.substr(run, pos_ - run));
      continue;
    }
    if (pos_ + 1 >= text_.size()) return false;
    const char e = text_[pos_ + 1];
    pos_ += 2;
    switch (e) {
      case '"':
      case '/':
      case '\\': s.push_back(e); break;
      case 'b': s.push_back('\b'); break;
      case 'f': s.push_back('\f'); break;
      case 'n': s.push_back('\n'); break;
      case 'r': s.push_back('\r'); break;
      case 't': s.push_back('\t'); break;
      case 'u':
        if (!scanUnicodeCharacterIntoString(s)) return false;
        break;
      default:
        s.push_back('\\');
        s.push_back(e);
    }
  }
  ++pos_;  // the closing quote
  if (string) *string = std::move(s);
  return true;
}

bool JSONCategoryScanner::scanJSONNumber(plat::Value* number) {
  // The scanner's decimal: [-]digits[.digits][(e|E)[+-]digits].
  scanJSONWhiteSpace();
  size_t p = pos_;
  std::string t;
  if (p < text_.size() && (text_[p] == '-' || text_[p] == '+')) {
    if (text_[p] == '-') t.push_back('-');
    ++p;
  }
  size_t intStart = p;
  while (p < text_.size() && isDigit(text_[p])) t.push_back(text_[p++]);
  bool digits = p > intStart;
  if (p < text_.size() && text_[p] == '.') {
    size_t fracStart = p + 1;
    size_t q = fracStart;
    while (q < text_.size() && isDigit(text_[q])) ++q;
    if (q > fracStart) {
      if (!digits) t.push_back('0');
      t.push_back('.');
      t.append(text_.substr(fracStart, q - fracStart));
      digits = true;
    }
    if (digits) p = q;
  }
  if (!digits) return false;
  if (p < text_.size() && (text_[p] == 'e' || text_[p] == 'E')) {
    size_t q = p + 1;
    if (q < text_.size() && (text_[q] == '+' || text_[q] == '-')) ++q;
    size_t expStart = q;
    while (q < text_.size() && isDigit(text_[q])) ++q;
    if (q > expStart) {
      t.append(text_.substr(p, q - p));
      p = q;
    }
  }
  // A decimal, unless only a double holds the value (beyond the decimal's
  // range, denormals, -0); a text beyond every double is no number.
  std::optional<plat::Value> v = plat::decimalOrDouble(t);
  if (!v) return false;
  pos_ = p;
  if (number) *number = std::move(*v);
  return true;
}

bool JSONCategoryScanner::scanJSONValue(plat::Value* value) {
  scanJSONWhiteSpace();
  if (isAtEnd()) return false;
  const char c = text_[pos_];
  switch (c) {
    case '"': {
      std::string s;
      if (!scanJSONString(&s)) return false;
      if (value) *value = plat::Value(std::move(s));
      return true;
    }
    case '{': return scanJSONObject(value);
    case '[': return scanJSONArray(value);
    default: break;
  }
  if (locationOfString(jsonTrueString) != kNotFound) {
    pos_ += 4;
    if (value) *value = plat::Value(true);
    return true;
  }
  if (locationOfString(jsonFalseString) != kNotFound) {
    pos_ += 5;
    if (value) *value = plat::Value(false);
    return true;
  }
  if (locationOfString(jsonNullString) != kNotFound) {
    pos_ += 4;
    if (value) *value = plat::Value();
    return true;
  }
  if (isDigit(c) || c == '-') return scanJSONNumber(value);
  return false;
}

namespace JSONCategories {

std::optional<plat::Value> dictionaryWithJSONString(std::string_view text) {
  JSONCategoryScanner scanner(text);
  plat::Value v;
  if (!scanner.scanJSONObject(&v)) return std::nullopt;
  return v;
}

std::optional<plat::Value> arrayWithJSONString(std::string_view text) {
  JSONCategoryScanner scanner(text);
  plat::Value v;
  if (!scanner.scanJSONArray(&v)) return std::nullopt;
  return v;
}

}  // namespace JSONCategories
