// The scanner-category codec: indented JSON text written by the dictionary,
// array and string categories, and read back by a string scanner that is
// lenient about commas and leading text. Numbers read as decimals.
//
// The writer escapes every control character, so its text is valid JSON;
// values JSON cannot hold (NaN, infinities, dates, bytes, text that is not
// UTF-8) and nesting past kMaxDepth give nothing, in the reader as well.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

inline constexpr const char* jsonObjectStartString = "{";
inline constexpr const char* jsonObjectEndString = "}";
inline constexpr const char* jsonArrayStartString = "[";
inline constexpr const char* jsonArrayEndString = "]";
inline constexpr const char* jsonKeyValueSeparatorString = ":";
inline constexpr const char* jsonValueSeparatorString = ",";
inline constexpr const char* jsonStringDelimiterString = "\"";
inline constexpr const char* jsonStringEscapedDoubleQuoteString = "\\\"";
inline constexpr const char* jsonStringEscapedSlashString = "\\\\";
inline constexpr const char* jsonTrueString = "true";
inline constexpr const char* jsonFalseString = "false";
inline constexpr const char* jsonNullString = "null";
inline constexpr const char* jsonIndentString = "\t";
inline constexpr long jsonDoNotIndent = -1;

namespace JSONCategories {

inline constexpr int kMaxDepth = 512;

// NSDictionary(JSONCategories) and NSArray(JSONCategories); nothing when the
// value is not of that kind or holds a value that cannot be written.
std::optional<std::string> dictionaryJSONStringValue(const plat::Value& dictionary);
std::optional<std::string> dictionaryJSONStringValueWithIndentLevel(const plat::Value& dictionary, long level);
std::optional<std::string> arrayJSONStringValue(const plat::Value& array);
std::optional<std::string> arrayJSONStringValueWithIndentLevel(const plat::Value& array, long level);

// NSString(JSONCategories).
std::string jsonIndentStringForLevel(long level);
std::optional<std::string> stringJSONStringValue(std::string_view string);

std::optional<plat::Value> dictionaryWithJSONString(std::string_view text);
std::optional<plat::Value> arrayWithJSONString(std::string_view text);

}  // namespace JSONCategories

// NSScanner(PrivateJSONCategories): a scanner over UTF-8 text. Each scan
// answers false softly at the end of the text.
class JSONCategoryScanner {
public:
  static constexpr size_t kNotFound = static_cast<size_t>(-1);
  explicit JSONCategoryScanner(std::string_view text) : text_(text) {}

  bool scanJSONObject(plat::Value* object);
  bool scanJSONArray(plat::Value* array);
  bool scanJSONString(std::string* string);
  bool scanJSONValue(plat::Value* value);
  bool scanJSONNumber(plat::Value* number);
  // After "\u": four hexadecimal digits, one UTF-16 unit (a pair when a low
  // surrogate escape follows a high one).
  bool scanUnicodeCharacterIntoString(std::string& string);
  size_t locationOfString(std::string_view s) const;
  bool scanJSONWhiteSpace();
  bool scanJSONKeyValueSeparator() { return scanString(jsonKeyValueSeparatorString); }
  bool scanJSONValueSeparator() { return scanString(jsonValueSeparatorString); }
  bool scanJSONObjectStartString() { return scanString(jsonObjectStartString); }
  bool scanJSONObjectEndString() { return scanString(jsonObjectEndString); }
  bool scanJSONArrayStartString() { return scanString(jsonArrayStartString); }
  bool scanJSONArrayEndString() { return scanString(jsonArrayEndString); }
  bool scanJSONStringDelimiterString() { return scanString(jsonStringDelimiterString); }

  size_t scanLocation() const { return pos_; }
  bool isAtEnd() const { return pos_ >= text_.size(); }
  // Moves to the first occurrence of the text, or to the end.
  void scanUpToString(std::string_view s);

private:
  // As scanString:intoString:: white space is skipped first.
  bool scanString(std::string_view s);
  size_t whiteSpaceLengthAt(size_t pos) const;

  std::string_view text_;
  size_t pos_ = 0;
  int depth_ = 0;
};
