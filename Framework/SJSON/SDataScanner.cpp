#include "Framework/SJSON/SDataScanner.h"

#include <cstring>
#include <limits>

#include "platform/foundation/text_codec.h"

using plat::Data;
using plat::Decimal;
using plat::Number;
using plat::Value;

namespace {

constexpr std::bitset<256> makeNumberSet() {
  std::bitset<256> b;
  for (const char* p = "0123456789eE-+."; *p; ++p) b.set(static_cast<unsigned char>(*p));
  return b;
}
// Made once for the process, as the number set always was.
const std::bitset<256> kNumberSet = makeNumberSet();

// What -[NSString longLongValue] reads: an optional sign and the digits
// after it. False when they do not fit in 64 bits; `*stop` is where the
// digits end either way.
bool readLongLong(const uint8_t* p, const uint8_t* e, int64_t* value, const uint8_t** stop) {
  bool negative = false;
  if (p < e && (*p == '-' || *p == '+')) negative = *p++ == '-';
  uint64_t v = 0;
  const uint64_t limit = negative ? uint64_t(1) << 63 : uint64_t(std::numeric_limits<int64_t>::max());
  bool fits = true;
  for (; p < e && *p >= '0' && *p <= '9'; ++p) {
    unsigned d = *p - '0';
    if (v > (limit - d) / 10) fits = false;
    if (fits) v = v * 10 + d;
  }
  *stop = p;
  if (negative) *value = v == (uint64_t(1) << 63) ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(v);
  else *value = static_cast<int64_t>(v);
  return fits;
}

// strtoull with base 0 over a run that holds no '-', 'x' or white space: a
// leading 0 reads octal, and reading stops at the first byte that does not
// fit. False when the value does not fit in 64 bits; `*stop` is where
// reading stopped either way.
bool readStrtoull(const uint8_t* p, const uint8_t* e, uint64_t* value, const uint8_t** stop) {
  if (p < e && *p == '+') ++p;
  unsigned base = 10;
  if (p < e && *p == '0') base = 8;
  uint64_t v = 0;
  bool fits = true;
  for (; p < e; ++p) {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (d >= base) break;
    if (v > (std::numeric_limits<uint64_t>::max() - d) / base) fits = false;
    if (fits) v = v * base + d;
  }
  *stop = p;
  *value = v;
  return fits;
}

// What +[NSDecimalNumber decimalNumberWithString:] reads: the longest prefix
// that is a decimal number; not a number when there is none.
// The longest decimal text at the start of [b, e); empty when it has no digit.
std::string_view decimalPrefix(const uint8_t* b, const uint8_t* e) {
  const uint8_t* p = b;
  if (p < e && (*p == '-' || *p == '+')) ++p;
  bool digits = false;
  while (p < e && *p >= '0' && *p <= '9') ++p, digits = true;
  if (p < e && *p == '.') {
    ++p;
    while (p < e && *p >= '0' && *p <= '9') ++p, digits = true;
  }
  if (!digits) return {};
  if (p < e && (*p == 'e' || *p == 'E')) {
    const uint8_t* q = p + 1;
    if (q < e && (*q == '-' || *q == '+')) ++q;
    if (q < e && *q >= '0' && *q <= '9') {
      while (q < e && *q >= '0' && *q <= '9') ++q;
      p = q;
    }
  }
  return std::string_view(reinterpret_cast<const char*>(b), static_cast<size_t>(p - b));
}

Decimal readDecimal(const uint8_t* b, const uint8_t* e) {
  std::string_view t = decimalPrefix(b, e);
  auto d = t.empty() ? std::nullopt : Decimal::parse(t);
  return d ? *d : Decimal::notANumber();
}

// A decimal, or the double where only a double holds the value (beyond the
// decimal's range, denormals, -0); nothing for a run that is no number.
std::optional<Value> readNumber(const uint8_t* b, const uint8_t* e) {
  std::string_view t = decimalPrefix(b, e);
  if (t.empty()) return std::nullopt;
  return plat::decimalOrDouble(t);
}

}  // namespace

SCharacterSet SCharacterSet::characterSetWithCharactersInString(std::string_view s) {
  SCharacterSet set;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* e = p + s.size();
  while (p < e) {
    uint32_t c = *p;
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (n == 2 && p + 1 < e) c = ((c & 0x1F) << 6) | (p[1] & 0x3F);
    if (c < 256 && (n == 1 || n == 2)) set.bits_.set(c);
    p += n;
  }
  return set;
}

SDataScanner::SDataScanner(std::shared_ptr<const Data> data) { SDataScanner::setData(std::move(data)); }

void SDataScanner::setData(std::shared_ptr<const Data> data) {
  if (data) {
    const uint8_t* bytes = data->data();
    size_t n = data->size();
    setBytes(bytes, n, std::move(data));
  } else {
    setBytes(nullptr, 0, nullptr);
  }
}

void SDataScanner::setBytes(const uint8_t* bytes, size_t length, std::shared_ptr<const Data> keep) {
  if (keep != data_) data_ = std::move(keep);
  if (!bytes) length = 0;
  start_ = bytes;
  end_ = bytes ? bytes + length : nullptr;
  current_ = start_;
  length_ = length;
}

void SDataScanner::setScanLocation(size_t location) {
  current_ = start_ + (location > length_ ? length_ : location);
}

std::optional<std::string> SDataScanner::decode(const uint8_t* from, const uint8_t* to) {
  size_t n = static_cast<size_t>(to - from);
  if (!plat::isValidUTF8(from, n)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(from), n);
}

Data SDataScanner::remainingData() const { return Data(current_, end_); }

std::optional<std::string> SDataScanner::remainingString() const { return decode(current_, end_); }

bool SDataScanner::scanUTF8String(const char* string, std::optional<std::string>* outValue) {
  size_t n = std::strlen(string);
  if (bytesRemaining() < n || std::memcmp(current_, string, n) != 0) return false;
  current_ += n;
  if (outValue) *outValue = decode(reinterpret_cast<const uint8_t*>(string), reinterpret_cast<const uint8_t*>(string) + n);
  return true;
}

bool SDataScanner::scanString(const std::string& string, std::optional<std::string>* outValue) {
  size_t n = string.size();
  if (bytesRemaining() < n || std::memcmp(current_, string.data(), n) != 0) return false;
  current_ += n;
  if (outValue) *outValue = string;
  return true;
}

bool SDataScanner::scanCharactersFromSet(const SCharacterSet& set, std::optional<std::string>* outValue) {
  const uint8_t* p = current_;
  while (p < end_ && set.characterIsMember(*p)) ++p;
  if (p == current_) return false;
  if (outValue) *outValue = decode(current_, p);
  current_ = p;
  return true;
}

bool SDataScanner::scanUpToCharactersFromSet(const SCharacterSet& set, std::optional<std::string>* outValue) {
  const uint8_t* p = current_;
  while (p < end_ && !set.characterIsMember(*p)) ++p;
  if (p == current_) return false;
  if (outValue) *outValue = decode(current_, p);
  current_ = p;
  return true;
}

bool SDataScanner::scanUpToString(const std::string& string, std::optional<std::string>* outValue) {
  if (string.empty()) return false;
  // The search also ends at a zero byte, as a C-string search would.
  const uint8_t* zero = current_ ? static_cast<const uint8_t*>(std::memchr(current_, 0, bytesRemaining())) : nullptr;
  const uint8_t* limit = zero ? zero : end_;
  size_t n = string.size();
  for (const uint8_t* p = current_; p && static_cast<size_t>(limit - p) >= n; ++p) {
    if (std::memcmp(p, string.data(), n) == 0) {
      if (outValue) *outValue = decode(current_, p);
      current_ = p;
      return true;
    }
  }
  return false;
}

bool SDataScanner::isNumberCharacter(uint8_t c) { return kNumberSet[c]; }

bool SDataScanner::scanNumberRun(const uint8_t** runStart) {
  const uint8_t* p = current_;
  while (p < end_ && kNumberSet[*p]) ++p;
  if (p == current_) return false;
  *runStart = current_;
  current_ = p;
  return true;
}

bool SDataScanner::scanNumber(Value* outValue) {
  const uint8_t* b = current_;
  const uint8_t* p = b;
  // Plain decimal digits not led by 0 are read as they are taken.
  uint64_t v = 0;
  bool plain = p < end_ && *p >= '1' && *p <= '9';
  while (p < end_ && *p >= '0' && *p <= '9' && v < 1000000000000000000ULL) v = v * 10 + (*p++ - '0');
  bool dot = false, minus = false;
  if (p < end_ && kNumberSet[*p]) {
    plain = false;
    for (; p < end_ && kNumberSet[*p]; ++p) {
      // An exponent makes it a decimal too: read as an integer, "1e5" would be 1.
      dot |= *p == '.' || *p == 'e' || *p == 'E';
      minus |= *p == '-';
    }
  }
  if (p == b) return false;
  if (dot) {
    // A run that is no number (".", "1e999") is refused, never read as NaN.
    auto number = readNumber(b, p);
    if (!number) return false;
    current_ = p;
    if (outValue) *outValue = std::move(*number);
    return true;
  }
  current_ = p;
  if (!outValue) return true;
  if (plain) {
    *outValue = Value(Number::fromUnsignedLongLong(v));
  } else {
    // A whole number past 64 bits is a decimal of the digits read, as a
    // number with an exponent is: the 64-bit readers would clamp it.
    const uint8_t* stop = p;
    int64_t i = 0;
    uint64_t u = 0;
    if (minus ? readLongLong(b, p, &i, &stop) : readStrtoull(b, p, &u, &stop)) {
      *outValue = minus ? Value(Number::fromLongLong(i)) : Value(Number::fromUnsignedLongLong(u));
    } else if (auto number = readNumber(b, stop)) {
      *outValue = std::move(*number);
    } else {
      *outValue = Value(readDecimal(b, stop));
    }
  }
  return true;
}

bool SDataScanner::scanDecimalNumber(Decimal* outValue) {
  const uint8_t* b;
  if (!scanNumberRun(&b)) return false;
  if (outValue) *outValue = readDecimal(b, current_);
  return true;
}

bool SDataScanner::scanDataOfLength(size_t length, const uint8_t** outPointer) {
  if (bytesRemaining() < length) return false;
  if (outPointer) *outPointer = current_;
  current_ += length;
  return true;
}

bool SDataScanner::scanDataOfLength(size_t length, Data* outData) {
  if (bytesRemaining() < length) return false;
  if (outData) outData->assign(current_, current_ + length);
  current_ += length;
  return true;
}
