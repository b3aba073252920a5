// A small JSON writer for the values the pages are handed: numbers (true
// and false as 1 and 0), texts, arrays and dictionaries. A member or an
// element of any other kind (null, a date, data) is left out; such a value
// on its own gives nothing. Texts are escaped as JSON requires (quote,
// backslash and every control character), so any text comes back whole
// from a JSON reader.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

class NSStringQVAddtions {
public:
  static std::optional<std::string> jsonStringWithObject(const plat::Value& object);
  static std::string jsonStringWithNSNumber(const plat::Value& number);
  static std::string jsonStringWithString(const std::string& string);
  static std::string jsonStringWithArray(const plat::Array& array);
  static std::string jsonStringWithDictionary(const plat::Dictionary& dictionary);
};
