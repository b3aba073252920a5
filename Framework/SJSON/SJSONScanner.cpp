#include "Framework/SJSON/SJSONScanner.h"

#include "platform/foundation/text_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

using plat::Data;
using plat::Dictionary;
using plat::Error;
using plat::Value;

namespace {

const char* textFor(long code) {
  switch (code) {
    case -12: return "Could not scan data. Data wasn't encoded properly?";
    case -15: return "Could not scan object. Character not a valid JSON character.";
    case -101: return "Could not scan dictionary. Dictionary that does not start with '{' character.";
    case -102: return "Could not scan dictionary. Failed to scan a key.";
    case -103: return "Could not scan dictionary. Key was not terminated with a ':' character.";
    case -104: return "Could not scan dictionary. Failed to scan a value.";
    case -105: return "Could not scan dictionary close delimiter.";
    case -106: return "Could not scan dictionary. Dictionary not terminated by a '}' character.";
    case -201: return "Could not scan array. Array not started by a '[' character.";
    case -202: return "Could not scan array. Could not scan a value.";
    case -203: return "Could not scan array. Value is NULL.";
    case -204: return "Could not scan array. Array not terminated by a ']' character.";
    case -301: return "Could not scan string constant. String not started by a '\"' character.";
    case -302: return "Could not scan string constant. Unicode character could not be decoded.";
    case -303: return "Could not scan string constant. Unknown escape code.";
    case -304: return "Could not scan string constant. No terminating double quote character.";
    case -401: return "Could not scan number constant.";
  }
  return "";
}

// Bytes that end a run of string characters: the double quote and backslash.
struct StopTable {
  bool stop[256] = {};
  constexpr StopTable() {
    stop[static_cast<unsigned char>('"')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
  }
};
constexpr StopTable kStop;

unsigned long sniffEncoding(const uint8_t* b) {
  if (b[0] != 0 && b[1] == 0) {
    if (b[2] != 0 && b[3] == 0) return kStringEncodingUTF16LittleEndian;
    if (b[2] == 0 && b[3] == 0) return kStringEncodingUTF32LittleEndian;
    return kStringEncodingUTF8;
  }
  if (b[0] == 0 && b[2] == 0 && b[3] != 0)
    return b[1] == 0 ? kStringEncodingUTF32BigEndian : kStringEncodingUTF16BigEndian;
  return kStringEncodingUTF8;
}

std::optional<Data> fromUTF16(const uint8_t* b, size_t n, bool bigEndian) {
  if (n % 2) return std::nullopt;
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; i += 2) {
    uint32_t u = bigEndian ? (b[i] << 8 | b[i + 1]) : (b[i + 1] << 8 | b[i]);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 >= n) return std::nullopt;
      uint32_t l = bigEndian ? (b[i + 2] << 8 | b[i + 3]) : (b[i + 3] << 8 | b[i + 2]);
      if (l < 0xDC00 || l > 0xDFFF) return std::nullopt;
      u = 0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00);
      i += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return std::nullopt;  // a lone surrogate has no UTF-8 form
    }
    plat::appendUTF8(out, u);
  }
  return Data(out.begin(), out.end());
}

std::optional<Data> fromUTF32(const uint8_t* b, size_t n, bool bigEndian) {
  if (n % 4) return std::nullopt;
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; i += 4) {
    uint32_t u = bigEndian ? (uint32_t(b[i]) << 24 | b[i + 1] << 16 | b[i + 2] << 8 | b[i + 3])
                           : (uint32_t(b[i + 3]) << 24 | b[i + 2] << 16 | b[i + 1] << 8 | b[i]);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return std::nullopt;
    plat::appendUTF8(out, u);
  }
  return Data(out.begin(), out.end());
}

std::optional<Data> throughIconv(const uint8_t* b, size_t n, const char* charset) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  Data out(n * 4 + 16);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(b));
  size_t inLeft = n;
  char* o = reinterpret_cast<char*>(out.data());
  size_t outLeft = out.size();
  size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

std::optional<Data> SJSONEncoding::toUTF8(const uint8_t* b, size_t n, unsigned long encoding) {
  switch (encoding) {
    case kStringEncodingUTF8:
      if (!plat::isValidUTF8(b, n)) return std::nullopt;
      return Data(b, b + n);
    case kStringEncodingASCII:
      for (size_t i = 0; i < n; ++i)
        if (b[i] >= 0x80) return std::nullopt;
      return Data(b, b + n);
    case kStringEncodingISOLatin1: {
      std::string out;
      out.reserve(n * 2);
      for (size_t i = 0; i < n; ++i) plat::appendUTF8(out, b[i]);
      return Data(out.begin(), out.end());
    }
    case kStringEncodingUnicode:
      if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) return fromUTF16(b + 2, n - 2, false);
      if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) return fromUTF16(b + 2, n - 2, true);
      return fromUTF16(b, n, true);
    case kStringEncodingUTF16BigEndian: return fromUTF16(b, n, true);
    case kStringEncodingUTF16LittleEndian: return fromUTF16(b, n, false);
    case kStringEncodingUTF32:
      if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) return fromUTF32(b + 4, n - 4, false);
      if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) return fromUTF32(b + 4, n - 4, true);
      return fromUTF32(b, n, true);
    case kStringEncodingUTF32BigEndian: return fromUTF32(b, n, true);
    case kStringEncodingUTF32LittleEndian: return fromUTF32(b, n, false);
    case kStringEncodingWindowsCP1252: return throughIconv(b, n, "CP1252");
    case kStringEncodingGB18030: return throughIconv(b, n, "GB18030");
  }
  return std::nullopt;
}

SJSONScanner::SJSONScanner() : nullObject_(Value()) {}

Error SJSONScanner::error(long code, const char* inDescription) const {
  PLAT_PARAMETER_ASSERT(inDescription != NULL);
  Dictionary info = userInfoForScanLocation();
  info.set(plat::kLocalizedDescriptionKey, Value(inDescription));
  return Error(kJSONScannerErrorDomain, code, std::move(info));
}

bool SJSONScanner::fail(Error* outError, long code) const {
  if (outError) *outError = error(code, textFor(code));
  return false;
}

bool SJSONScanner::setData(std::shared_ptr<const Data> data, Error* outError) {
  if (!data) return fail(outError, kJSONScannerErrorCode_CouldNotDecodeData);
  const uint8_t* bytes = data->data();
  size_t n = data->size();
  return setBytes(bytes, n, std::move(data), outError);
}

bool SJSONScanner::setBytes(const uint8_t* bytes, size_t n, std::shared_ptr<const Data> keep, Error* outError) {
  if (n < 4) {  // too short to sniff: used as it is
    SDataScanner::setBytes(bytes, n, std::move(keep));
    validated_ = false;
    return true;
  }
  unsigned long encoding = sniffEncoding(bytes);
  if (encoding == kStringEncodingUTF8 && plat::isValidUTF8(bytes, n)) {
    SDataScanner::setBytes(bytes, n, std::move(keep));
    validated_ = true;
    return true;
  }
  std::optional<Data> converted;
  if (encoding != kStringEncodingUTF8) converted = SJSONEncoding::toUTF8(bytes, n, encoding);
  if (!converted && allowedEncoding_ != 0) converted = SJSONEncoding::toUTF8(bytes, n, allowedEncoding_);
  if (!converted) return fail(outError, kJSONScannerErrorCode_CouldNotDecodeData);
  auto owned = std::make_shared<const Data>(std::move(*converted));
  SDataScanner::setBytes(owned->data(), owned->size(), owned);
  validated_ = true;
  return true;
}

// ---- public scanners ----

bool SJSONScanner::scanJSONObject(std::optional<Value>* outObject, Error* outError) {
  Value v;
  bool isNil = false;
  if (!scanValue(v, isNil, outError, 0)) return false;
  if (outObject) *outObject = isNil ? std::nullopt : std::optional<Value>(std::move(v));
  return true;
}

bool SJSONScanner::scanJSONDictionary(std::optional<Value>* outDictionary, Error* outError) {
  Value v;
  if (!scanDictionary(v, outError, 1)) return false;
  if (outDictionary) *outDictionary = std::move(v);
  return true;
}

bool SJSONScanner::scanJSONArray(std::optional<Value>* outArray, Error* outError) {
  Value v;
  if (!scanArray(v, outError, 1)) return false;
  if (outArray) *outArray = std::move(v);
  return true;
}

bool SJSONScanner::scanJSONStringConstant(std::optional<Value>* outStringConstant, Error* outError) {
  std::string s;
  if (!scanString(s, outError)) return false;
  if (outStringConstant) *outStringConstant = Value(std::move(s));
  return true;
}

bool SJSONScanner::scanJSONNumberConstant(std::optional<Value>* outNumberConstant, Error* outError) {
  Value v;
  if (!scanNumberConstant(v, outError)) return false;
  if (outNumberConstant) *outNumberConstant = std::move(v);
  return true;
}

bool SJSONScanner::scanNotQuoteCharactersIntoString(std::optional<std::string>* outValue) {
  const uint8_t* p = current_;
  while (p < end_ && !kStop.stop[*p]) ++p;
  if (p == current_) return false;
  if (outValue) *outValue = decode(current_, p);
  current_ = p;
  return true;
}

// ---- the scanners proper ----

bool SJSONScanner::scanValue(Value& out, bool& isNil, Error* outError, int depth) {
  skipWhitespace();
  isNil = false;
  switch (currentCharacter()) {
    case '{':
      if (depth >= kMaxDepth) return fail(outError, kJSONScannerErrorCode_CouldNotScanObject);
      return scanDictionary(out, outError, depth + 1);
    case '[':
      if (depth >= kMaxDepth) return fail(outError, kJSONScannerErrorCode_CouldNotScanObject);
      return scanArray(out, outError, depth + 1);
    case '"':
    case '\'': {
      std::string s;
      if (!scanString(s, outError)) return false;
      out = Value(std::move(s));
      return true;
    }
    case '-': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      return scanNumberConstant(out, outError);
    case 'f':
      if (bytesRemaining() >= 5 && std::memcmp(current_, "false", 5) == 0) {
        current_ += 5;
        out = Value(false);
      } else {
        isNil = true;
      }
      return true;
    case 't':
      if (bytesRemaining() >= 4 && std::memcmp(current_, "true", 4) == 0) {
        current_ += 4;
        out = Value(true);
      } else {
        isNil = true;
      }
      return true;
    case 'n':
      if (bytesRemaining() >= 4 && std::memcmp(current_, "null", 4) == 0) {
        current_ += 4;
        if (nullObject_) {
          out = *nullObject_;
        } else {
          isNil = true;
        }
      } else {
        isNil = true;
      }
      return true;
    default:
      return fail(outError, kJSONScannerErrorCode_CouldNotScanObject);
  }
}

namespace {
// The first double quote or backslash at or after p, or e.
const uint8_t* findStop(const uint8_t* p, const uint8_t* e) {
  constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  constexpr uint64_t quotes = ones * '"', backslashes = ones * '\\';
  while (e - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t q = w ^ quotes, b = w ^ backslashes;
    uint64_t hit = ((q - ones) & ~q & highs) | ((b - ones) & ~b & highs);
    if (hit) return p + (__builtin_ctzll(hit) >> 3);
    p += 8;
  }
  while (p < e && !kStop.stop[*p]) ++p;
  return p;
}
}  // namespace

bool SJSONScanner::scanKey(plat::ValueBuilder::Member& entry) {
  skipWhitespace();
  if (validated_ && current_ < end_ && *current_ == '"') {
    const uint8_t* close = findStop(current_ + 1, end_);
    if (close < end_ && *close == '"') {
      entry.borrowKey(reinterpret_cast<const char*>(current_ + 1), static_cast<size_t>(close - current_ - 1));
      current_ = close + 1;
      return true;
    }
  }
  return scanString(entry.ownKey(), nullptr);
}

bool SJSONScanner::scanDictionary(Value& out, Error* outError, int depth) {
  const uint8_t* start = current_;
  skipWhitespace();
  if (!scanCharacter('{')) return fail(outError, kJSONScannerErrorCode_DictionaryStartCharacterMissing);
  const size_t mark = builder_.memberMark();
  auto failAt = [&](long code) {
    builder_.dropMembers(mark);
    current_ = start;
    return fail(outError, code);
  };
  for (;;) {
    if (currentCharacter() == '}') break;
    skipWhitespace();
    if (currentCharacter() == '}') break;
    // The stack may grow while a value is scanned: reach the entry by index.
    const size_t at = builder_.memberMark();
    if (!scanKey(builder_.pushMember())) return failAt(kJSONScannerErrorCode_DictionaryKeyScanFailed);
    skipWhitespace();
    if (!scanCharacter(':')) return failAt(kJSONScannerErrorCode_DictionaryKeyNotTerminated);
    bool isNil = false;
    skipWhitespace();
    const uint16_t c = currentCharacter();
    if (c != '{' && c != '[') {
      // A plain value leaves the stack alone: scan it into its entry.
      if (!scanValue(builder_.member(at).value, isNil, nullptr, depth))
        return failAt(kJSONScannerErrorCode_DictionaryValueScanFailed);
    } else {
      // A container grows the stack while it is scanned.
      Value value;
      if (!scanValue(value, isNil, nullptr, depth)) return failAt(kJSONScannerErrorCode_DictionaryValueScanFailed);
      builder_.member(at).value = std::move(value);
    }
    // Setting nil stores nothing, and with a null object removes what the
    // key held so far.
    if (isNil) builder_.discardMember(mark, nullObject_.has_value());
    skipWhitespace();
    if (scanCharacter(',')) {
      skipWhitespace();
      if (currentCharacter() == '}') break;
      continue;
    }
    if (currentCharacter() != '}') return failAt(kJSONScannerErrorCode_DictionaryKeyValuePairNoDelimiter);
    break;
  }
  if (!scanCharacter('}')) return failAt(kJSONScannerErrorCode_DictionaryNotTerminated);
  out = builder_.makeDictionary(mark);
  return true;
}

bool SJSONScanner::scanArray(Value& out, Error* outError, int depth) {
  const uint8_t* start = current_;
  skipWhitespace();
  if (!scanCharacter('[')) return fail(outError, kJSONScannerErrorCode_ArrayStartCharacterMissing);
  skipWhitespace();
  const size_t mark = builder_.elementMark();
  auto failAt = [&](long code) {
    builder_.dropElements(mark);
    current_ = start;
    return fail(outError, code);
  };
  for (;;) {
    if (currentCharacter() == ']') break;
    Value value;
    bool isNil = false;
    if (!scanValue(value, isNil, nullptr, depth)) return failAt(kJSONScannerErrorCode_ArrayValueScanFailed);
    if (!isNil) {
      builder_.pushElement(std::move(value));
    } else if (nullObject_) {
      builder_.dropElements(mark);
      return fail(outError, kJSONScannerErrorCode_ArrayValueIsNull);
    }
    skipWhitespace();
    if (scanCharacter(',')) {
      skipWhitespace();
      continue;
    }
    skipWhitespace();
    if (currentCharacter() != ']') return failAt(kJSONScannerErrorCode_ArrayNotTerminated);
    break;
  }
  skipWhitespace();
  if (!scanCharacter(']')) return failAt(kJSONScannerErrorCode_ArrayNotTerminated);
  out = builder_.makeArray(mark);
  return true;
}

bool SJSONScanner::scanString(std::string& out, Error* outError) {
  const uint8_t* start = current_;
  skipWhitespace();
  if (!scanCharacter('"')) {
    current_ = start;
    return fail(outError, kJSONScannerErrorCode_StringNotStartedWithDoubleQuote);
  }
  out.clear();
  auto failAt = [&](long code) {
    current_ = start;
    return fail(outError, code);
  };
  // A high surrogate written as an escape waits here for its low half.
  size_t pendingHigh = std::string::npos;
  uint32_t highUnit = 0;
  // An escaped byte of 0x80 or above leaves the rest of its character to
  // the next run, which then does not decode.
  bool validateNext = false;
  for (;;) {
    const uint8_t* p = findStop(current_, end_);
    if (p != current_) {
      size_t n = static_cast<size_t>(p - current_);
      if ((!validated_ || validateNext) && !plat::isValidUTF8(current_, n))
        return failAt(kJSONScannerErrorCode_StringUnicodeNotDecoded);
      out.append(reinterpret_cast<const char*>(current_), n);
      current_ = p;
      pendingHigh = std::string::npos;
      validateNext = false;
      continue;
    }
    if (p >= end_) return fail(outError, kJSONScannerErrorCode_StringNotTerminated);
    ++current_;
    if (*p == '"') break;
    // A backslash; the data ending after it leaves the string unterminated.
    if (current_ >= end_) return fail(outError, kJSONScannerErrorCode_StringNotTerminated);
    uint16_t c = scanCharacter();
    uint32_t unit;
    switch (c) {
      case '"': case '\\': case '/': unit = c; break;
      case 'b': unit = 0x08; break;
      case 'f': unit = 0x0C; break;
      case 'n': unit = 0x0A; break;
      case 'r': unit = 0x0D; break;
      case 't': unit = 0x09; break;
      case 'u': {
        unit = 0;
        for (int i = 0; i < 4; ++i) {
          int h = plat::hexDigitValue(scanCharacter());
          if (h < 0) return failAt(kJSONScannerErrorCode_StringUnicodeNotDecoded);
          unit = unit << 4 | static_cast<uint32_t>(h);
        }
        if (pendingHigh != std::string::npos && unit >= 0xDC00 && unit <= 0xDFFF) {
          out.resize(pendingHigh);
          plat::appendUTF8(out, 0x10000 + ((highUnit - 0xD800) << 10) + (unit - 0xDC00));
          pendingHigh = std::string::npos;
          continue;
        }
        // A surrogate has no UTF-8 form: a lone one becomes U+FFFD, as the
        // other reader makes it (three bytes too, so a high half that finds
        // its low half is still replaced in place).
        plat::appendUTF8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          pendingHigh = out.size() - 3;
          highUnit = unit;
        } else {
          pendingHigh = std::string::npos;
        }
        continue;
      }
      default:
        if (strictEscapeCodes_) return failAt(kJSONScannerErrorCode_StringUnknownEscapeCode);
        unit = c;
        if (c >= 0x80) validateNext = true;
        break;
    }
    plat::appendUTF8(out, unit);
    pendingHigh = std::string::npos;
  }
  return true;
}

bool SJSONScanner::scanNumberConstant(Value& out, Error* outError) {
  skipWhitespace();
  if (!scanNumber(&out)) return fail(outError, kJSONScannerErrorCode_NumberNotScannable);
  return true;
}
