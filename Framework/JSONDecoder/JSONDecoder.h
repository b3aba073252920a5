// The decoder family's reader of JSON: a single-pass tokenizer and
// recursive-descent parser over UTF-8 bytes with a small cache of recently
// decoded strings and numbers. JSONDecoder hands out the family's own objects
// (JDDictionary, JDArray, cached strings and numbers); the JDDeserializing
// functions hand out plain plat::Value trees and are what the system calls
// (objectFromJSONString for error bodies, web-page arguments and the edit
// helper's replies).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "Framework/JSONDecoder/JDCollection.h"
#include "Framework/JSONDecoder/JDObject.h"
#include "platform/foundation/error.h"

inline constexpr const char* JDErrorDomain = "JDErrorDomain";
inline constexpr const char* JDAtIndexKey = "JDAtIndexKey";
inline constexpr const char* JDLineNumberKey = "JDLineNumberKey";

enum : unsigned long {
  JDParseOptionNone = 0,
  JDParseFlagAllowComments = 1,
  JDParseFlagUnicodeLineBreaks = 2,
  JDParseFlagReplaceBadUnicode = 4,
  JDParseFlagAllowTrailingText = 8,
  JDParseOptionValidFlags = 15,
};

struct JDParseState;

class JSONDecoder {
public:
  // Far above any real document; deeper nesting fails the parse.
  static constexpr int kMaxDepth = 512;

  static std::unique_ptr<JSONDecoder> decoder() { return decoderWithParseOptions(0); }
  static std::unique_ptr<JSONDecoder> decoderWithParseOptions(unsigned long parseOptionFlags);
  // Options above 15 raise NSInvalidArgumentException "Invalid parse options.".
  explicit JSONDecoder(unsigned long parseOptionFlags = 0);
  ~JSONDecoder();
  JSONDecoder(const JSONDecoder&) = delete;
  JSONDecoder& operator=(const JSONDecoder&) = delete;

  void clearCache();

  // Null on failure; the first error of the parse goes to `error`.
  JDRef objectWithUTF8String(const unsigned char* string, size_t length, plat::Error* error = nullptr);
  JDRef objectWithData(const plat::Data* jsonData, plat::Error* error = nullptr);
  JDRef mutableObjectWithUTF8String(const unsigned char* string, size_t length, plat::Error* error = nullptr);
  JDRef mutableObjectWithData(const plat::Data* jsonData, plat::Error* error = nullptr);
  JDRef parseUTF8String(const unsigned char* string, size_t length, plat::Error* error = nullptr) {
    return objectWithUTF8String(string, length, error);
  }
  JDRef parseJSONData(const plat::Data* jsonData, plat::Error* error = nullptr) { return objectWithData(jsonData, error); }

  // The same parse straight into a plat::Value tree (no cache: values have no
  // identity to share).
  std::optional<plat::Value> valueWithUTF8String(const unsigned char* string, size_t length,
                                                 plat::Error* error = nullptr);

  unsigned long parseOptionFlags() const;

private:
  friend void _JSONDecoderCleanup(JSONDecoder* decoder);
  JDRef parse(const unsigned char* string, size_t length, bool mutableCollections, plat::Error* error);
  std::unique_ptr<JDParseState> parseState_;
};

// Frees the parse state and cache at once; safe to call twice.
void _JSONDecoderCleanup(JSONDecoder* decoder);

// NSString(JDDeserializing) and NSData(JDDeserializing). A text stands for a
// string; its encoded surrogates (which have no UTF-8 form) become "?", other
// bytes that are not UTF-8 fail the conversion. Each call uses a decoder of
// its own. Mutable and immutable results are the same plain values.
namespace JDDeserializing {
std::optional<plat::Value> objectFromJSONString(std::string_view string);
std::optional<plat::Value> objectFromJSONStringWithParseOptions(std::string_view string, unsigned long parseOptionFlags);
std::optional<plat::Value> objectFromJSONStringWithParseOptions(std::string_view string, unsigned long parseOptionFlags,
                                                                plat::Error* error);
std::optional<plat::Value> mutableObjectFromJSONString(std::string_view string);
std::optional<plat::Value> mutableObjectFromJSONStringWithParseOptions(std::string_view string,
                                                                       unsigned long parseOptionFlags);
std::optional<plat::Value> mutableObjectFromJSONStringWithParseOptions(std::string_view string,
                                                                       unsigned long parseOptionFlags,
                                                                       plat::Error* error);
// Null data raises "The jsonData argument is NULL.".
std::optional<plat::Value> objectFromJSONData(const plat::Data* data);
std::optional<plat::Value> objectFromJSONDataWithParseOptions(const plat::Data* data, unsigned long parseOptionFlags);
std::optional<plat::Value> objectFromJSONDataWithParseOptions(const plat::Data* data, unsigned long parseOptionFlags,
                                                              plat::Error* error);
std::optional<plat::Value> mutableObjectFromJSONData(const plat::Data* data);
std::optional<plat::Value> mutableObjectFromJSONDataWithParseOptions(const plat::Data* data,
                                                                     unsigned long parseOptionFlags);
std::optional<plat::Value> mutableObjectFromJSONDataWithParseOptions(const plat::Data* data,
                                                                     unsigned long parseOptionFlags,
                                                                     plat::Error* error);
}  // namespace JDDeserializing
