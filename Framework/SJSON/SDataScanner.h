// A forward cursor over an immutable byte buffer. A "character" is one byte:
// nothing is decoded while the cursor moves; runs are decoded as UTF-8 only
// when they are handed out as strings (nullopt when they do not decode).
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

// A set of characters as the scanner tests them: by a single byte's value, so
// only members below 256 can ever match.
class SCharacterSet {
public:
  SCharacterSet() = default;
  // The code points of a UTF-8 text.
  static SCharacterSet characterSetWithCharactersInString(std::string_view utf8);
  bool characterIsMember(uint32_t c) const { return c < 256 && bits_[c]; }

private:
  std::bitset<256> bits_;
};

class SDataScanner {
public:
  SDataScanner() = default;
  explicit SDataScanner(std::shared_ptr<const plat::Data> data);
  virtual ~SDataScanner() = default;
  SDataScanner(const SDataScanner&) = delete;
  SDataScanner& operator=(const SDataScanner&) = delete;

  const std::shared_ptr<const plat::Data>& data() const { return data_; }
  // Keeps the buffer and puts the cursor at its start; null zeroes everything.
  virtual void setData(std::shared_ptr<const plat::Data> data);

  size_t scanLocation() const { return static_cast<size_t>(current_ - start_); }
  // Unchecked in the original; here an offset past the end is clamped to it.
  void setScanLocation(size_t location);
  size_t bytesRemaining() const { return static_cast<size_t>(end_ - current_); }
  bool isAtEnd() const { return scanLocation() >= length_; }
  plat::Data remainingData() const;
  std::optional<std::string> remainingString() const;

  // At the end of the data these answer 0, which no caller looks for.
  uint16_t currentCharacter() const { return current_ < end_ ? *current_ : 0; }
  uint16_t scanCharacter() { return current_ < end_ ? *current_++ : 0; }
  bool scanCharacter(uint16_t c) {
    if (current_ < end_ && *current_ == c) {
      ++current_;
      return true;
    }
    return false;
  }

  bool scanUTF8String(const char* string, std::optional<std::string>* outValue);
  // Hands out the very text that was passed.
  bool scanString(const std::string& string, std::optional<std::string>* outValue);
  bool scanCharactersFromSet(const SCharacterSet& set, std::optional<std::string>* outValue);
  bool scanUpToCharactersFromSet(const SCharacterSet& set, std::optional<std::string>* outValue);
  bool scanUpToString(const std::string& string, std::optional<std::string>* outValue);
  // A Decimal when the run holds '.', a signed 64-bit Number when it holds
  // '-', else an unsigned 64-bit Number read as strtoull with base 0 does.
  bool scanNumber(plat::Value* outValue);
  bool scanDecimalNumber(plat::Decimal* outValue);
  bool scanDataOfLength(size_t length, const uint8_t** outPointer);
  bool scanDataOfLength(size_t length, plat::Data* outData);
  void skipWhitespace() {
    while (current_ < end_ && isSpace(*current_)) ++current_;
  }

  // SDataScanner_Extensions
  bool scanCStyleComment(std::optional<std::string>* outComment);
  bool scanCPlusPlusStyleComment(std::optional<std::string>* outComment);
  size_t lineOfScanLocation() const;
  // "line", "character", "location" and "snippet" of the cursor.
  plat::Dictionary userInfoForScanLocation() const;

  // The number set, "0123456789eE-+.".
  static bool isNumberCharacter(uint8_t c);
  static bool isSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

protected:
  // Points the scanner at bytes kept alive by `keep` (or, when `keep` is
  // null, by the caller for as long as the scanner uses them).
  void setBytes(const uint8_t* bytes, size_t length, std::shared_ptr<const plat::Data> keep);
  // Runs of bytes are decoded as UTF-8; nullopt when they are not valid.
  static std::optional<std::string> decode(const uint8_t* from, const uint8_t* to);
  bool scanNumberRun(const uint8_t** runStart);

  std::shared_ptr<const plat::Data> data_;
  const uint8_t* start_ = nullptr;
  const uint8_t* end_ = nullptr;
  const uint8_t* current_ = nullptr;
  size_t length_ = 0;
};
