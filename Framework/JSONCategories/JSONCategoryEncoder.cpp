#include "Framework/JSONCategories/JSONCategoryEncoder.h"

#include <cmath>

#include "Framework/JSONCategories/JSONCategories.h"
#include "platform/foundation/text_codec.h"

namespace {

bool appendString(std::string_view s, std::string& out) {
  if (!plat::isValidUTF8(s)) return false;
  out.push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const char* esc = nullptr;
    switch (c) {
      case '\b': esc = "\\b"; break;
      case '\t': esc = "\\t"; break;
      case '\n': esc = "\\n"; break;
      case '\f': esc = "\\f"; break;
      case '\r': esc = "\\r"; break;
      case '"': esc = jsonStringEscapedDoubleQuoteString; break;
      case '/': esc = "\\/"; break;
      case '\\': esc = jsonStringEscapedSlashString; break;
      default:
        if (c >= 0x20) continue;
    }
    out.append(s.data() + run, i - run);
    run = i + 1;
    if (esc) {
      out.append(esc);
    } else {
      // Other control characters too, or the text would not be JSON.
      plat::appendJSONEscape(out, c, 'u');
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
  return true;
}

bool appendNumber(const plat::Value& v, std::string& out) {
  if (const plat::Decimal* d = v.decimal()) {
    if (d->isNaN()) return false;
    out += d->description();
    return true;
  }
  const plat::Number n = v.number();
  if (n.type() == 'c') {
    out += n.boolValue() ? jsonTrueString : jsonFalseString;
    return true;
  }
  if (n.isFloating()) {
    if (!std::isfinite(n.doubleValue())) return false;
    // Written as a decimal number prints itself: plain digits, no exponent.
    if (auto d = plat::Decimal::parse(n.description())) {
      out += d->description();
      return true;
    }
  }
  out += n.description();
  return true;
}

bool appendDictionary(const plat::Value& v, long level, int depth, std::string& out) {
  if (depth >= JSONCategories::kMaxDepth) return false;
  out += jsonObjectStartString;
  bool first = true;
  const std::string indent = JSONCategories::jsonIndentStringForLevel(level);
  for (const auto& [key, value] : v.dictionary()) {
    if (!first) out += jsonValueSeparatorString;
    first = false;
    out += indent;
    out.push_back(' ');
    if (!appendString(key, out)) return false;
    out += " : ";
    if (!JSONCategoryEncoder::appendValue(value, level, depth + 1, out)) return false;
  }
  out += jsonObjectEndString;
  return true;
}

bool appendArray(const plat::Value& v, long level, int depth, std::string& out) {
  if (depth >= JSONCategories::kMaxDepth) return false;
  out += jsonArrayStartString;
  bool first = true;
  for (const plat::Value& e : v.array()) {
    if (!first) out += ", ";
    first = false;
    if (!JSONCategoryEncoder::appendValue(e, level, depth + 1, out)) return false;
  }
  out += jsonArrayEndString;
  return true;
}

}  // namespace

bool JSONCategoryEncoder::appendValue(const plat::Value& value, long level, int depth, std::string& out) {
  switch (value.kind()) {
    case plat::Value::Kind::String: return appendString(value.string(), out);
    case plat::Value::Kind::Dictionary: return appendDictionary(value, level + 1, depth, out);
    case plat::Value::Kind::Array: return appendArray(value, level, depth, out);
    case plat::Value::Kind::Null: out += jsonNullString; return true;
    case plat::Value::Kind::Bool:
    case plat::Value::Kind::Number:
    case plat::Value::Kind::Decimal: return appendNumber(value, out);
    default: return false;
  }
}

std::optional<std::string> JSONCategoryEncoder::jsonStringForValue(const plat::Value& value, long level) {
  std::string out;
  if (!appendValue(value, level, 0, out)) return std::nullopt;
  return out;
}

namespace JSONCategories {

std::string jsonIndentStringForLevel(long level) {
  if (level == jsonDoNotIndent) return {};
  std::string s = "\n";
  if (level > 0) s.append(static_cast<size_t>(level), '\t');
  return s;
}

std::optional<std::string> stringJSONStringValue(std::string_view string) {
  std::string out;
  if (!appendString(string, out)) return std::nullopt;
  return out;
}

std::optional<std::string> dictionaryJSONStringValue(const plat::Value& dictionary) {
  return dictionaryJSONStringValueWithIndentLevel(dictionary, 0);
}

std::optional<std::string> dictionaryJSONStringValueWithIndentLevel(const plat::Value& dictionary, long level) {
  if (!dictionary.isDictionary()) return std::nullopt;
  std::string out;
  if (!appendDictionary(dictionary, level, 0, out)) return std::nullopt;
  return out;
}

std::optional<std::string> arrayJSONStringValue(const plat::Value& array) {
  return arrayJSONStringValueWithIndentLevel(array, 0);
}

std::optional<std::string> arrayJSONStringValueWithIndentLevel(const plat::Value& array, long level) {
  if (!array.isArray()) return std::nullopt;
  std::string out;
  if (!appendArray(array, level, 0, out)) return std::nullopt;
  return out;
}

}  // namespace JSONCategories
