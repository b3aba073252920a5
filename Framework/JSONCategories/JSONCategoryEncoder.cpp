#include "Framework/JSONCategories/JSONCategoryEncoder.h"

#include <cmath>

#include "Framework/JSONCategories/JSONCategories.h"
#include "platform/foundation/json_output.h"
#include "platform/foundation/text_codec.h"

namespace {

bool appendString(std::string_view s, std::string& out) {
  if (!plat::isValidUTF8(s)) return false;
  out.push_back('"');
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* const end = p + s.size();
  for (;;) {
    // The slash is always escaped here; every control character too, or the
    // text would not be JSON.
    const uint8_t* stop = plat::jsonUnescapedRunEnd(p, end, true);
    out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
    if (stop == end) break;
    plat::appendJSONEscape(out, *stop, *stop == '/' ? '/' : plat::kJSONEscapes.e[*stop]);
    p = stop + 1;
  }
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
    // As a decimal prints itself where the decimal holds the double; past its
    // range (1e308, denormals) and for -0 the double's own shortest text,
    // which the reader takes back as that double.
    out += plat::decimalTextOfDouble(n.doubleValue());
    return true;
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
  const plat::Array& a = v.array();
  for (const plat::Value *e = a.data(), *end = e + a.size(); e != end; ++e) {
    plat::prefetchAhead(e, end);
    if (!first) out += ", ";
    first = false;
    if (!JSONCategoryEncoder::appendValue(*e, level, depth + 1, out)) return false;
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

namespace {
// Reserved once at about the text's length, the output is seldom grown and
// copied. Members: ",", " ", " : " and a line break, and a tab per level.
std::string outputFor(const plat::Value& value) {
  std::string out;
  out.reserve(plat::jsonLengthEstimate(value, plat::JSONLayout{2, 6, 1}));
  return out;
}
}  // namespace

std::optional<std::string> JSONCategoryEncoder::jsonStringForValue(const plat::Value& value, long level) {
  std::string out = outputFor(value);
  if (!appendValue(value, level, 0, out)) return std::nullopt;
  plat::releaseUnused(out);
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
  std::string out = outputFor(dictionary);
  if (!appendDictionary(dictionary, level, 0, out)) return std::nullopt;
  plat::releaseUnused(out);
  return out;
}

std::optional<std::string> arrayJSONStringValue(const plat::Value& array) {
  return arrayJSONStringValueWithIndentLevel(array, 0);
}

std::optional<std::string> arrayJSONStringValueWithIndentLevel(const plat::Value& array, long level) {
  if (!array.isArray()) return std::nullopt;
  std::string out = outputFor(array);
  if (!appendArray(array, level, 0, out)) return std::nullopt;
  plat::releaseUnused(out);
  return out;
}

}  // namespace JSONCategories
