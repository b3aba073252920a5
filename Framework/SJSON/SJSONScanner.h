// Reads JSON text from a byte buffer into plat::Value trees. More lenient than
// strict JSON: trailing commas, any top-level value, text after the value,
// unknown escapes read as the escaped character and numbers read by the byte
// scanner's wider rule. The input's encoding is converted to UTF-8 first.
#pragma once

#include <optional>

#include "Framework/SJSON/SDataScanner.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value_builder.h"

inline constexpr const char* kJSONScannerErrorDomain = "kJSONScannerErrorDomain";

enum {
  kJSONScannerErrorCode_CouldNotDecodeData = -12,
  kJSONScannerErrorCode_CouldNotScanObject = -15,
  kJSONScannerErrorCode_DictionaryStartCharacterMissing = -101,
  kJSONScannerErrorCode_DictionaryKeyScanFailed = -102,
  kJSONScannerErrorCode_DictionaryKeyNotTerminated = -103,
  kJSONScannerErrorCode_DictionaryValueScanFailed = -104,
  kJSONScannerErrorCode_DictionaryKeyValuePairNoDelimiter = -105,
  kJSONScannerErrorCode_DictionaryNotTerminated = -106,
  kJSONScannerErrorCode_ArrayStartCharacterMissing = -201,
  kJSONScannerErrorCode_ArrayValueScanFailed = -202,
  kJSONScannerErrorCode_ArrayValueIsNull = -203,
  kJSONScannerErrorCode_ArrayNotTerminated = -204,
  kJSONScannerErrorCode_StringNotStartedWithDoubleQuote = -301,
  kJSONScannerErrorCode_StringUnicodeNotDecoded = -302,
  kJSONScannerErrorCode_StringUnknownEscapeCode = -303,
  kJSONScannerErrorCode_StringNotTerminated = -304,
  kJSONScannerErrorCode_NumberNotScannable = -401,
};

// String encodings, numbered as the platform numbers them, for
// `allowedEncoding`.
enum : unsigned long {
  kStringEncodingASCII = 1,
  kStringEncodingUTF8 = 4,
  kStringEncodingISOLatin1 = 5,
  kStringEncodingUnicode = 10,  // UTF-16 with a byte-order mark, big-endian without
  kStringEncodingWindowsCP1252 = 12,
  kStringEncodingUTF16BigEndian = 0x90000100,
  kStringEncodingUTF16LittleEndian = 0x94000100,
  kStringEncodingUTF32 = 0x8c000100,
  kStringEncodingUTF32BigEndian = 0x98000100,
  kStringEncodingUTF32LittleEndian = 0x9c000100,
  kStringEncodingGB18030 = 0x80000632,
};

// Options bits: containers, resp. strings, come back mutable. plat::Value
// trees are values, so both are kept for callers but change nothing.
enum : unsigned long {
  kJSONScannerOptionsMutableContainers = 1,
  kJSONScannerOptionsMutableLeaves = 2,
};

class SJSONDeserializer;

class SJSONScanner : public SDataScanner {
public:
  // Far above any reply the service sends; deeper input fails as a value
  // that could not be scanned, so the recursion cannot exhaust the stack.
  static constexpr int kMaxDepth = 512;

  SJSONScanner();

  bool strictEscapeCodes() const { return strictEscapeCodes_; }
  void setStrictEscapeCodes(bool v) { strictEscapeCodes_ = v; }
  // What a JSON null becomes; nullopt drops nulls inside containers.
  const std::optional<plat::Value>& nullObject() const { return nullObject_; }
  void setNullObject(std::optional<plat::Value> v) { nullObject_ = std::move(v); }
  unsigned long allowedEncoding() const { return allowedEncoding_; }
  void setAllowedEncoding(unsigned long e) { allowedEncoding_ = e; }
  unsigned long options() const { return options_; }
  void setOptions(unsigned long o) { options_ = o; }

  // Sniffs the encoding, converts to UTF-8 and scans the result.
  bool setData(std::shared_ptr<const plat::Data> data, plat::Error* outError);
  void setData(std::shared_ptr<const plat::Data> data) override { setData(std::move(data), nullptr); }

  // Each answers false (and an error when asked for) on failure; a nullopt
  // value with true is a word that starts like a literal but is none.
  bool scanJSONObject(std::optional<plat::Value>* outObject, plat::Error* outError);
  bool scanJSONDictionary(std::optional<plat::Value>* outDictionary, plat::Error* outError);
  bool scanJSONArray(std::optional<plat::Value>* outArray, plat::Error* outError);
  bool scanJSONStringConstant(std::optional<plat::Value>* outStringConstant, plat::Error* outError);
  bool scanJSONNumberConstant(std::optional<plat::Value>* outNumberConstant, plat::Error* outError);
  bool scanNotQuoteCharactersIntoString(std::optional<std::string>* outValue);

  plat::Error error(long code, const char* inDescription) const;

private:
  friend class SJSONDeserializer;
  enum Kind { kAny, kDictionary, kArray };
  // Borrows the bytes when they are UTF-8 already (the caller keeps them
  // alive while it scans), else keeps a converted copy.
  bool setBytes(const uint8_t* bytes, size_t length, std::shared_ptr<const plat::Data> keep, plat::Error* outError);
  bool fail(plat::Error* outError, long code) const;

  // The scanners proper. `isNil` is set for a nil value.
  bool scanValue(plat::Value& out, bool& isNil, plat::Error* outError, int depth);
  bool scanDictionary(plat::Value& out, plat::Error* outError, int depth);
  bool scanArray(plat::Value& out, plat::Error* outError, int depth);
  bool scanString(std::string& out, plat::Error* outError);
  bool scanNumberConstant(plat::Value& out, plat::Error* outError);
  // Keys without escapes are read in place; the bytes live as long as the scan.
  bool scanKey(plat::ValueBuilder::Member& entry);

  bool strictEscapeCodes_ = false;
  std::optional<plat::Value> nullObject_;
  unsigned long allowedEncoding_ = 0;
  unsigned long options_ = 0;
  // The bytes are known to be valid UTF-8 (all converted data is).
  bool validated_ = false;
  // Elements and members of the containers being built, shared by all levels.
  plat::ValueBuilder builder_;
};

// Conversions of the encodings above to UTF-8; nullopt when the bytes are not
// text in that encoding.
namespace SJSONEncoding {
std::optional<plat::Data> toUTF8(const uint8_t* bytes, size_t length, unsigned long encoding);
}  // namespace SJSONEncoding
