#include "Framework/Staticclass/NSStringQVAddtions.h"

#include <cstdio>

std::optional<std::string> NSStringQVAddtions::jsonStringWithObject(const plat::Value& object) {
  using K = plat::Value::Kind;
  switch (object.kind()) {
    case K::Bool:
    case K::Number:
    case K::Decimal:
      return jsonStringWithNSNumber(object);
    case K::String:
      return jsonStringWithString(object.string());
    case K::Dictionary:
      return jsonStringWithDictionary(object.dictionary());
    case K::Array:
      return jsonStringWithArray(object.array());
    default:
      return std::nullopt;
  }
}

std::string NSStringQVAddtions::jsonStringWithNSNumber(const plat::Value& number) {
  if (number.isBool()) return number.boolValue() ? "1" : "0";
  const std::string text = number.description();
  // JSON has no words for the numbers that are none.
  if (text == "nan" || text == "inf" || text == "-inf") return "0";
  return text;
}

std::string NSStringQVAddtions::jsonStringWithString(const std::string& string) {
  std::string out;
  out.reserve(string.size() + 2);
  out += '"';
  for (char ch : string) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04x", c);
          out += hex;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string NSStringQVAddtions::jsonStringWithArray(const plat::Array& array) {
  std::string out = "[";
  bool first = true;
  for (const auto& element : array) {
    auto text = jsonStringWithObject(element);
    if (!text) continue;
    if (!first) out += ',';
    out += *text;
    first = false;
  }
  return out + "]";
}

std::string NSStringQVAddtions::jsonStringWithDictionary(const plat::Dictionary& dictionary) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : dictionary) {
    auto text = jsonStringWithObject(value);
    if (!text) continue;
    if (!first) out += ',';
    out += jsonStringWithString(key) + ":" + *text;
    first = false;
  }
  return out + "}";
}
