// The tokenizer is shared; the parser is written once over a builder, which
// makes either the family's own objects (through the object stack and the
// cache) or plain plat::Value trees.
#include "Framework/JSONDecoder/JSONDecoder.h"

#include <locale.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Framework/JSONDecoder/JDManagedBuffer.h"
#include "platform/foundation/format.h"
#include "platform/foundation/text_codec.h"
#include "platform/foundation/value_builder.h"

using plat::Error;
using plat::Number;
using plat::Value;

namespace {

enum JDTokenType {
  JDTokenTypeInvalid = 0,
  JDTokenTypeNumber,
  JDTokenTypeString,
  JDTokenTypeObjectBegin,
  JDTokenTypeObjectEnd,
  JDTokenTypeArrayBegin,
  JDTokenTypeArrayEnd,
  JDTokenTypeSeparator,
  JDTokenTypeComma,
  JDTokenTypeTrue,
  JDTokenTypeFalse,
  JDTokenTypeNull,
};

enum JDValueType {
  JDValueTypeNone = 0,
  JDValueTypeString = 5,
  JDValueTypeLongLong = 7,
  JDValueTypeUnsignedLongLong = 11,
  JDValueTypeDouble = 13,
};

// Acceptance set of the container parsers.
enum : unsigned {
  JDParseAcceptValue = 1,  // a value in an array, a key in an object
  JDParseAcceptComma = 2,
  JDParseAcceptEnd = 4,
};

constexpr uint64_t JD_HASH_INIT = 1402737925ULL;  // 0x539C1505
constexpr size_t JD_CACHE_SLOTS = 1024;
constexpr size_t JD_STACK_OBJS = 1024;
constexpr size_t JD_STACK_GRANULE = 2048;
constexpr size_t JD_TOKENBUFFER_SIZE = 2048;
constexpr size_t JD_TOKENBUFFER_GRANULE = 4096;

inline uint64_t jd_hash(uint64_t h, uint8_t c) { return (h >> 19) ^ (h * 33 + c - 29); }

const char* kThisFile = "JSONDecoder.cpp";

}  // namespace

struct JDTokenCacheItem {
  JDRef object;
  uint64_t hash = 0;
  uint64_t cfHash = 0;
  size_t size = 0;
  std::unique_ptr<uint8_t[]> bytes;
  JDValueType type = JDValueTypeNone;
};

struct JDTokenValue {
  const uint8_t* ptr = nullptr;
  size_t length = 0;
  JDValueType type = JDValueTypeNone;
  uint64_t hash = 0;
  union {
    long long longLongValue;
    unsigned long long unsignedLongLongValue;
    double doubleValue;
  } number{};
  JDTokenCacheItem* cacheItem = nullptr;
};

struct JDParseToken {
  const uint8_t* ptr = nullptr;
  size_t length = 0;
  JDTokenType type = JDTokenTypeInvalid;
  JDTokenValue value;
  JDManagedBuffer tokenBuffer;
};

enum : uint64_t {
  JDObjectStackOnStack = 1,
  JDObjectStackOnHeap = 2,
  JDObjectStackLocationMask = 3,
  JDObjectStackMustFree = 4,
};

struct JDObjectStack {
  JDRef* objects = nullptr;
  JDRef* keys = nullptr;
  uint64_t* cfHashes = nullptr;
  size_t count = 0;  // capacity
  size_t index = 0;  // next free entry
  size_t roundSizeUpToMultipleOf = JD_STACK_GRANULE;
  uint64_t flags = 0;
  std::unique_ptr<JDRef[]> heapObjects, heapKeys;
  std::unique_ptr<uint64_t[]> heapHashes;
};

struct JDParseState {
  unsigned long parseOptionFlags = 0;
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  size_t atIndex = 0, lineNumber = 1, lineStartIndex = 0;
  JDParseToken token;
  JDObjectStack objectStack;
  std::unique_ptr<JDTokenCacheItem[]> cache;
  size_t cacheCount = 0;
  std::optional<Error> error;
  bool mutableCollections = false;
  int depth = 0;
  // Values are hashed only for the cache; plain values have none.
  bool hashValues = true;
  // A string held bytes that are not UTF-8 or a code point the reader
  // refuses, whether reported or replaced.
  bool sawBadUTF8 = false;
};

namespace {

// ---- errors ----

template <class... Args>
void jd_error(JDParseState* s, const char* format, const Args&... args) {
  if (s->error) return;  // the first error of a parse is the one reported
  plat::Dictionary info = plat::Dictionary::fromEntries({
      {plat::kLocalizedDescriptionKey, Value(plat::format(format, args...))},
      {JDAtIndexKey, Value(static_cast<unsigned long>(s->atIndex))},
      {JDLineNumberKey, Value(static_cast<unsigned long>(s->lineNumber))},
  });
  s->error = Error(JDErrorDomain, -1, std::move(info));
}

// ---- object stack ----

void jd_objectStack_release(JDObjectStack* stack) {
  for (size_t i = 0; i < stack->index; ++i) {
    stack->objects[i].reset();
    stack->keys[i].reset();
  }
  stack->heapObjects.reset();
  stack->heapKeys.reset();
  stack->heapHashes.reset();
  stack->objects = stack->keys = nullptr;
  stack->cfHashes = nullptr;
  stack->count = stack->index = 0;
  stack->flags = 0;
}

void jd_objectStack_setToStackBuffer(JDObjectStack* stack, JDRef* objects, JDRef* keys, uint64_t* hashes,
                                     size_t count) {
  jd_objectStack_release(stack);
  for (size_t i = 0; i < count; ++i) {
    objects[i].reset();
    keys[i].reset();
    hashes[i] = 0;
  }
  stack->objects = objects;
  stack->keys = keys;
  stack->cfHashes = hashes;
  stack->count = count;
  stack->flags = JDObjectStackOnStack;
}

bool jd_objectStack_resize(JDObjectStack* stack, size_t newCount) {
  // At least doubling: steps of 128 entries made a long array cost time
  // quadratic in its length, every growth moving the whole stack.
  if (newCount > stack->count && newCount - stack->count < stack->count) newCount = stack->count * 2;
  size_t g = stack->roundSizeUpToMultipleOf;
  if (g) newCount = newCount + ((g - newCount % g) % g);
  if (newCount <= stack->count) return true;
  std::unique_ptr<JDRef[]> objects(new (std::nothrow) JDRef[newCount]);
  std::unique_ptr<JDRef[]> keys(new (std::nothrow) JDRef[newCount]);
  std::unique_ptr<uint64_t[]> hashes(new (std::nothrow) uint64_t[newCount]());
  if (!objects || !keys || !hashes) return false;
  for (size_t i = 0; i < stack->count; ++i) {
    objects[i] = std::move(stack->objects[i]);
    keys[i] = std::move(stack->keys[i]);
    hashes[i] = stack->cfHashes[i];
  }
  stack->heapObjects = std::move(objects);
  stack->heapKeys = std::move(keys);
  stack->heapHashes = std::move(hashes);
  stack->objects = stack->heapObjects.get();
  stack->keys = stack->heapKeys.get();
  stack->cfHashes = stack->heapHashes.get();
  stack->count = newCount;
  stack->flags = JDObjectStackOnHeap | JDObjectStackMustFree;
  return true;
}

// ---- white space and tokens ----

size_t jd_parse_is_newline(const JDParseState* s, size_t i) {
  const uint8_t* b = s->bytes;
  uint8_t c = b[i];
  if (c == '\n') return 1;
  if (c == '\r') return (i + 1 < s->length && b[i + 1] == '\n') ? 2 : 1;
  if (s->parseOptionFlags & JDParseFlagUnicodeLineBreaks) {
    if (c == 0xC2 && i + 1 < s->length && b[i + 1] == 0x85) return 2;
    if (c == 0xE2 && i + 2 < s->length && b[i + 1] == 0x80 && (b[i + 2] == 0xA8 || b[i + 2] == 0xA9)) return 3;
  }
  return 0;
}

void jd_newline(JDParseState* s, size_t n) {
  s->atIndex += n;
  s->lineNumber++;
  s->lineStartIndex = s->atIndex;
}

void jd_parse_skip_whitespace(JDParseState* s) {
  const uint8_t* b = s->bytes;
  const bool comments = s->parseOptionFlags & JDParseFlagAllowComments;
  while (s->atIndex < s->length) {
    uint8_t c = b[s->atIndex];
    if (c == ' ' || c == '\t') {
      s->atIndex++;
      continue;
    }
    if (size_t n = jd_parse_is_newline(s, s->atIndex)) {
      jd_newline(s, n);
      continue;
    }
    if (c == '/' && comments && s->atIndex + 1 < s->length) {
      if (b[s->atIndex + 1] == '/') {
        s->atIndex += 2;
        while (s->atIndex < s->length) {
          if (size_t n = jd_parse_is_newline(s, s->atIndex)) {
            jd_newline(s, n);
            break;
          }
          s->atIndex++;
        }
        continue;
      }
      if (b[s->atIndex + 1] == '*') {
        s->atIndex += 2;
        while (s->atIndex < s->length) {
          if (b[s->atIndex] == '*' && s->atIndex + 1 < s->length && b[s->atIndex + 1] == '/') {
            s->atIndex += 2;
            break;
          }
          if (size_t n = jd_parse_is_newline(s, s->atIndex)) {
            jd_newline(s, n);
            continue;
          }
          s->atIndex++;
        }
        continue;
      }
    }
    break;
  }
}

// Four hex digits at *p; false (with the error stored when a byte is not a
// digit) otherwise.
bool jd_parse_hex4(JDParseState* s, const uint8_t*& p, const uint8_t* end, uint32_t* out) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    if (p >= end) return false;
    int d = plat::hexDigitValue(*p);
    if (d < 0) {
      jd_error(s, "Unexpected character found in \\u Unicode escape sequence.  Found '%c', expected [0-9a-fA-F].",
               static_cast<int>(*p));
      return false;
    }
    v = v << 4 | static_cast<uint32_t>(d);
    ++p;
  }
  *out = v;
  return true;
}

// ---- strings ----
//
// A string is read in two stages. The plain stage passes the bytes that
// stand for themselves; when it ends at the closing quote the value is the
// input between the quotes, not copied. Otherwise (an escape, or UTF-8 the
// reader refuses or repairs) the decoding stage copies what was passed into
// the token buffer and decodes the rest an item at a time.

inline bool jd_isPlainASCII(uint8_t c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// The first byte from `p` that is not plain ASCII (a quote, backslash,
// control byte or 0x80 and above), or `end`.
inline const uint8_t* jd_skipPlainASCII(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A signed comparison: bytes from 0x80 count as below the space, as control bytes do.
    const __m128i stop =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), _mm_cmplt_epi8(v, space));
    if (const int mask = _mm_movemask_epi8(stop)) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t q = w ^ (ones * '"'), b = w ^ (ones * '\\');
    // The lowest set bit marks the first stop byte (borrows only reach above it).
    if (const uint64_t stop = (((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w) | w) & highs)
      return p + (__builtin_ctzll(stop) >> 3);
    p += 8;
  }
  while (p < end && jd_isPlainASCII(*p)) ++p;
  return p;
}

// The plain stage from `p`: returns the first byte that is a quote, a
// backslash, a control byte or UTF-8 that ConvertSingleCodePointInUTF8 does
// not take, or `end`. With `hashing` the bytes passed are hashed into `h`.
const uint8_t* jd_string_plainRun(const uint8_t* p, const uint8_t* end, bool hashing, uint64_t& h) {
  while (p < end) {
    const uint8_t c = *p;
    if (c >= 0x80) {
      // Two-byte forms and three-byte ones led by E1-EC or EE (U+1000 to
      // U+CFFF, U+E000 to U+EFFF: most CJK text) are always legal.
      if (!hashing && c >= 0xC2 && c <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
        p += 2;
      } else if (!hashing && c >= 0xE1 && c <= 0xEE && c != 0xED && end - p >= 3 && (p[1] & 0xC0) == 0x80 &&
                 (p[2] & 0xC0) == 0x80) {
        p += 3;
      } else {
        const uint8_t* next;
        uint32_t cp;
        if (ConvertSingleCodePointInUTF8(p, end, &next, &cp) != conversionOK) return p;
        if (hashing) {
          for (; p < next; ++p) h = jd_hash(h, *p);
        }
        p = next;
      }
    } else if (!jd_isPlainASCII(c)) {
      return p;
    } else if (hashing) {
      h = jd_hash(h, c);
      ++p;
    } else {
      p = jd_skipPlainASCII(p + 1, end);
    }
  }
  return p;
}

// The code point of the \u escape whose "u" is at `p`, which moves past it
// (and past a second escape that completes a surrogate pair). False with the
// error stored for a bad escape, or without one when the input ends in it.
bool jd_string_unicodeEscape(JDParseState* s, const uint8_t*& p, const uint8_t* end, uint32_t* codePoint) {
  const bool replace = s->parseOptionFlags & JDParseFlagReplaceBadUnicode;
  ++p;
  uint32_t u1;
  if (!jd_parse_hex4(s, p, end, &u1)) return false;
  uint32_t cp = u1;
  if (u1 >= 0xD800 && u1 <= 0xDBFF) {
    if (p < end && *p == '\\' && p + 1 < end && p[1] == 'u') {
      p += 2;
      uint32_t u2;
      if (!jd_parse_hex4(s, p, end, &u2)) return false;
      if (u2 >= 0xDC00 && u2 <= 0xDFFF) {
        cp = 0x10000 + ((u1 - 0xD800) << 10) + (u2 - 0xDC00);
      } else if (replace) {
        cp = UNI_REPLACEMENT_CHAR;
      } else {
        jd_error(s, "Illegal \\u Unicode escape sequence.");
        return false;
      }
    } else if (replace) {
      cp = UNI_REPLACEMENT_CHAR;  // what broke the pair is read again
    } else {
      jd_error(s, "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence.");
      return false;
    }
  } else if (u1 >= 0xDC00 && u1 <= 0xDFFF) {
    if (!replace) {
      jd_error(s, "Illegal \\u Unicode escape sequence.");
      return false;
    }
    cp = UNI_REPLACEMENT_CHAR;
  }
  if (jd_isIllegalCodePoint(cp)) {
    if (!replace) {
      jd_error(s, "Illegal \\u Unicode escape sequence.");
      return false;
    }
    cp = UNI_REPLACEMENT_CHAR;
  }
  *codePoint = cp;
  return true;
}

// The character of the escape whose backslash is at `p`, which moves past it.
bool jd_string_escape(JDParseState* s, const uint8_t*& p, const uint8_t* end, uint32_t* codePoint) {
  if (++p >= end) return false;
  switch (*p) {
    case '"': *codePoint = 0x22; break;
    case '\\': *codePoint = 0x5C; break;
    case '/': *codePoint = 0x2F; break;
    case 'b': *codePoint = 0x08; break;
    case 'f': *codePoint = 0x0C; break;
    case 'n': *codePoint = 0x0A; break;
    case 'r': *codePoint = 0x0D; break;
    case 't': *codePoint = 0x09; break;
    case 'u': return jd_string_unicodeEscape(s, p, end, codePoint);
    default:
      jd_error(s, "Invalid escape sequence found in \"\" string.");
      return false;
  }
  ++p;
  return true;
}

// The decoding stage: from `p` (a backslash, or UTF-8 to refuse or repair)
// up to the closing quote, where `p` is left; the value is then in the token
// buffer. False with the error stored, or without one when the input ends.
bool jd_string_decode(JDParseState* s, const uint8_t* stringStart, const uint8_t*& p, const uint8_t* end,
                      uint64_t& h) {
  const bool replace = s->parseOptionFlags & JDParseFlagReplaceBadUnicode;
  JDManagedBuffer& buf = s->token.tokenBuffer;
  size_t len = 0;
  // Room for `n` more bytes and an item of up to 16.
  auto room = [&](size_t n) {
    if (len + n + 16 <= buf.bytes.length || jd_managedBuffer_resize(&buf, len + n + 1024)) return true;
    jd_error(s, "Internal error: Unable to resize temporary buffer. %@ line #%ld", kThisFile, long(__LINE__));
    return false;
  };
  auto append = [&](const uint8_t* bytes, size_t n) {
    std::memcpy(buf.bytes.ptr + len, bytes, n);
    for (size_t i = 0; i < n; ++i) h = jd_hash(h, bytes[i]);
    len += n;
  };
  // What the plain stage passed is hashed already.
  const size_t passed = static_cast<size_t>(p - stringStart);
  if (!room(passed)) return false;
  if (passed) std::memcpy(buf.bytes.ptr, stringStart, passed);
  len = passed;
  while (p < end) {
    if (!room(0)) return false;
    const uint8_t c = *p;
    if (c == '"') {
      s->token.value.ptr = buf.bytes.ptr;
      s->token.value.length = len;
      return true;
    }
    if (c < 0x20) {
      jd_error(s, "Invalid character < 0x20 found in string: 0x%2.2x.", static_cast<unsigned>(c));
      return false;
    }
    if (c == '\\') {
      uint32_t cp;
      if (!jd_string_escape(s, p, end, &cp)) return false;
      uint8_t* out = buf.bytes.ptr + len;
      const size_t n = ConvertUTF32toUTF8(cp, out, buf.bytes.ptr + buf.bytes.length);
      if (n == 0) {
        jd_error(s, "Internal error: Unable to add UTF8 sequence to internal string buffer. %@ line #%ld", kThisFile,
                 long(__LINE__));
        return false;
      }
      for (size_t i = 0; i < n; ++i) h = jd_hash(h, out[i]);
      len += n;
    } else if (c < 0x80) {
      // A plain run, copied whole.
      uint64_t unused = 0;
      const uint8_t* runEnd = jd_string_plainRun(p, end, false, unused);
      const size_t n = static_cast<size_t>(runEnd - p);
      if (!room(n)) return false;
      append(p, n);
      p = runEnd;
    } else {
      const uint8_t* next;
      uint32_t cp;
      const ConversionResult r = ConvertSingleCodePointInUTF8(p, end, &next, &cp);
      if (r == conversionOK) {
        append(p, static_cast<size_t>(next - p));
      } else {
        s->sawBadUTF8 = true;
        if (r == sourceExhausted) {
          jd_error(s, "End of buffer reached while parsing UTF8 in \"\" string.");
          return false;
        }
        if (!replace) {
          jd_error(s, "Illegal UTF8 sequence found in \"\" string.");
          return false;
        }
        static const uint8_t kReplacement[3] = {0xEF, 0xBF, 0xBD};
        append(kReplacement, 3);
      }
      p = next;
    }
  }
  return false;
}

bool jd_parse_string(JDParseState* s) {
  const uint8_t* const tokenStart = s->bytes + s->atIndex;
  const uint8_t* const stringStart = tokenStart + 1;
  const uint8_t* const end = s->bytes + s->length;
  uint64_t h = JD_HASH_INIT;
  const uint8_t* p = jd_string_plainRun(stringStart, end, s->hashValues, h);
  bool read;
  if (p < end && *p == '"') {
    s->token.value.ptr = stringStart;
    s->token.value.length = static_cast<size_t>(p - stringStart);
    read = true;
  } else if (p < end && *p < 0x20) {
    jd_error(s, "Invalid character < 0x20 found in string: 0x%2.2x.", static_cast<unsigned>(*p));
    read = false;
  } else {
    read = p < end && jd_string_decode(s, stringStart, p, end, h);
  }
  if (!read) {
    jd_error(s, "Invalid string.");
    return false;
  }
  ++p;  // the closing quote
  s->token.value.type = JDValueTypeString;
  s->token.value.hash = h;
  s->token.type = JDTokenTypeString;
  s->token.ptr = tokenStart;
  s->token.length = static_cast<size_t>(p - tokenStart);
  s->atIndex = static_cast<size_t>(p - s->bytes);
  return true;
}

locale_t jd_cLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

bool jd_convert_number(JDParseState* s, const uint8_t* start, size_t n, bool isFloat, bool isNegative);

bool jd_parse_number(JDParseState* s) {
  const uint8_t* const start = s->bytes + s->atIndex;
  const uint8_t* const end = s->bytes + s->length;
  const uint8_t* p = start;
  bool isFloat = false, isNegative = false;
  auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
  auto invalid = [&] {
    jd_error(s, "Invalid number.");
    return false;
  };
  // Digits that run to the end of the input are a cut-off document, reported
  // as the top level reports one, not as a malformed number.
  auto cutOff = [&] {
    s->atIndex = s->length;
    jd_error(s, "Reached the end of the buffer.");
    return false;
  };

  if (*p == '-') {
    isNegative = true;
    if (++p >= end) return invalid();
  }
  // The integer digits are read as they are passed; the value serves when
  // there are at most 18 of them (it wraps past that and is not used).
  const uint8_t* const integerStart = p;
  uint64_t integer = 0;
  if (*p == '0') {
    if (++p >= end) return cutOff();
  } else if (*p >= '1' && *p <= '9') {
    integer = *p - '0';
    while (++p < end && digit(*p)) integer = integer * 10 + (*p - '0');
    if (p >= end) return cutOff();
  } else {
    return invalid();
  }
  const size_t integerDigits = static_cast<size_t>(p - integerStart);
  if (*p == '.') {
    isFloat = true;
    if (++p >= end || !digit(*p)) return invalid();
    while (++p < end && digit(*p)) {
    }
    if (p >= end) return cutOff();
  }
  if (*p == 'e' || *p == 'E') {
    isFloat = true;
    if (++p >= end) return invalid();
    if (*p == '+' || *p == '-') {
      if (++p >= end) return invalid();
    }
    if (!digit(*p)) return invalid();
    while (++p < end && digit(*p)) {
    }
    if (p >= end) return cutOff();
  }

  const size_t n = static_cast<size_t>(p - start);
  JDTokenValue& v = s->token.value;
  if (!isFloat && integerDigits <= 18 && !(isNegative && integer == 0)) {
    // Up to 18 digits always fit: the value the conversion would give.
    if (isNegative) {
      v.type = JDValueTypeLongLong;
      v.number.longLongValue = -static_cast<long long>(integer);
    } else {
      v.type = JDValueTypeUnsignedLongLong;
      v.number.unsignedLongLongValue = integer;
    }
  } else if (!jd_convert_number(s, start, n, isFloat, isNegative)) {
    return false;
  }

  if (s->hashValues) {
    uint64_t h = JD_HASH_INIT + v.type;
    if (v.type != JDValueTypeDouble) h += v.number.unsignedLongLongValue;
    uint8_t raw[8];
    std::memcpy(raw, &v.number, 8);
    for (uint8_t b : raw) h = jd_hash(h, b);
    v.hash = h;
  }
  v.ptr = reinterpret_cast<const uint8_t*>(&v.number);
  v.length = 8;
  s->token.type = JDTokenTypeNumber;
  s->token.ptr = start;
  s->token.length = n;
  s->atIndex += n;
  return true;
}

// The number token's text through the C library's conversions, with the
// range errors they report.
bool jd_convert_number(JDParseState* s, const uint8_t* start, size_t n, bool isFloat, bool isNegative) {
  char small[64];
  std::string large;
  char* text = small;
  if (n + 1 > sizeof small) {
    large.assign(reinterpret_cast<const char*>(start), n);
    text = large.data();
  } else {
    std::memcpy(small, start, n);
    small[n] = '\0';
  }
  JDTokenValue& v = s->token.value;
  char* endOfNumber = nullptr;
  errno = 0;
  if (isFloat || (n == 2 && text[0] == '-' && text[1] == '0')) {
    v.type = JDValueTypeDouble;
    v.number.doubleValue = strtod_l(text, &endOfNumber, jd_cLocale());
    if (errno == ERANGE) {
      double d = v.number.doubleValue;
      // A subnormal result is a number all the same.
      if (d == 0 || std::isinf(d)) {
        jd_error(s, "The value '%s' could not be represented as a 'double' due to %s.", text,
                 d == 0 ? "underflow" : "overflow");
        return false;
      }
      errno = 0;
    }
  } else if (isNegative) {
    v.type = JDValueTypeLongLong;
    v.number.longLongValue = std::strtoll(text, &endOfNumber, 10);
    if (errno == ERANGE) {
      jd_error(s, "The value '%s' exceeded the minimum value that could be represented: %lld.", text,
               v.number.longLongValue);
      return false;
    }
  } else {
    v.type = JDValueTypeUnsignedLongLong;
    v.number.unsignedLongLongValue = std::strtoull(text, &endOfNumber, 10);
    if (errno == ERANGE) {
      jd_error(s, "The value '%s' exceeded the maximum value that could be represented: %llu.", text,
               v.number.unsignedLongLongValue);
      return false;
    }
  }
  if (errno != 0) {
    jd_error(s, "Invalid number.");
    return false;
  }
  if (endOfNumber != text + n) {
    jd_error(s, "The conversion function did not consume all of the number tokens characters.");
    return false;
  }
  return true;
}

// The one-byte tokens by their byte; the others are JDTokenTypeInvalid here.
struct JDOneByteTokens {
  JDTokenType type[256] = {};
  constexpr JDOneByteTokens() {
    type[static_cast<uint8_t>('{')] = JDTokenTypeObjectBegin;
    type[static_cast<uint8_t>('}')] = JDTokenTypeObjectEnd;
    type[static_cast<uint8_t>('[')] = JDTokenTypeArrayBegin;
    type[static_cast<uint8_t>(']')] = JDTokenTypeArrayEnd;
    type[static_cast<uint8_t>(':')] = JDTokenTypeSeparator;
    type[static_cast<uint8_t>(',')] = JDTokenTypeComma;
  }
};
constexpr JDOneByteTokens kOneByteTokens;

// The next token. `likely` names the byte that the grammar makes most
// likely here (a key's quote, the colon, the comma), tested before any other
// so that the common road costs one well-predicted branch; 0 for none.
inline __attribute__((always_inline)) bool jd_parse_next_token(JDParseState* s, uint8_t likely = 0) {
  // Written JSON mostly has no white space between tokens: look before calling.
  if (s->atIndex < s->length) {
    const uint8_t c = s->bytes[s->atIndex];
    if (c <= ' ' || c == '/' || c >= 0x80) jd_parse_skip_whitespace(s);
  }
  s->token.type = JDTokenTypeInvalid;
  s->token.value.cacheItem = nullptr;
  if (s->atIndex < s->length) {
    const uint8_t* b = s->bytes + s->atIndex;
    const size_t left = s->length - s->atIndex;
    if (likely && *b == likely && likely != '"') {
      s->token.type = kOneByteTokens.type[likely];
      s->token.length = 1;
    } else if (*b == '"') {
      jd_parse_string(s);
    } else if ((*b >= '0' && *b <= '9') || *b == '-') {
      jd_parse_number(s);
    } else if (JDTokenType oneByte = kOneByteTokens.type[*b]) {
      s->token.type = oneByte;
      s->token.length = 1;
    } else {
      // A literal needs one more byte after it in the input.
      auto literal = [&](const char* word, size_t n, JDTokenType type) {
        if (left > n && std::memcmp(b, word, n) == 0) {
          s->token.type = type;
          s->token.length = n;
        }
      };
      if (*b == 't') literal("true", 4, JDTokenTypeTrue);
      if (*b == 'f') literal("false", 5, JDTokenTypeFalse);
      if (*b == 'n') literal("null", 4, JDTokenTypeNull);
    }
    if (s->token.type >= JDTokenTypeObjectBegin) {
      s->token.ptr = b;
      s->atIndex += s->token.length;
    }
  }
  if (s->token.type == JDTokenTypeInvalid) {
    jd_error(s, "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.");
    return false;
  }
  return true;
}

bool jd_isValueToken(JDTokenType t) {
  return t == JDTokenTypeNumber || t == JDTokenTypeString || t == JDTokenTypeObjectBegin ||
         t == JDTokenTypeArrayBegin || t == JDTokenTypeTrue || t == JDTokenTypeFalse || t == JDTokenTypeNull;
}

void jd_error_parse_accept_or3(JDParseState* s, unsigned accept, const char* valueWord, const char* commaWord,
                               const char* endWord) {
  const char* words[3];
  int n = 0;
  if (accept & JDParseAcceptValue) words[n++] = valueWord;
  if (accept & JDParseAcceptComma) words[n++] = commaWord;
  if (accept & JDParseAcceptEnd) words[n++] = endWord;
  int tl = static_cast<int>(s->token.length);
  std::string token(reinterpret_cast<const char*>(s->token.ptr ? s->token.ptr : s->bytes), s->token.length);
  switch (n) {
    case 1: jd_error(s, "Expected %@, not '%*.*s'", words[0], tl, tl, token); break;
    case 2: jd_error(s, "Expected %@ or %@, not '%*.*s'", words[0], words[1], tl, tl, token); break;
    default: jd_error(s, "Expected %@, %@, or %@, not '%*.*s", words[0], words[1], words[2], tl, tl, token); break;
  }
}

Number jd_numberFor(const JDTokenValue& v) {
  switch (v.type) {
    case JDValueTypeLongLong: return Number::fromLongLong(v.number.longLongValue);
    case JDValueTypeUnsignedLongLong:
      if (v.number.unsignedLongLongValue <= static_cast<unsigned long long>(LLONG_MAX))
        return Number::fromLongLong(static_cast<long long>(v.number.unsignedLongLongValue));
      return Number::fromUnsignedLongLong(v.number.unsignedLongLongValue);
    default: return Number::fromDouble(v.number.doubleValue);
  }
}

// ---- builders ----

// Makes the family's objects: values through the cache, containers from the
// object stack.
struct JDObjectBuilder {
  using Object = JDRef;
  JDParseState* s;

  static bool isNull(const Object& o) { return !o; }

  Object objectFromValue(const JDTokenValue& v) {
    if (v.type == JDValueTypeString)
      return JDString::make(std::string_view(reinterpret_cast<const char*>(v.ptr), v.length));
    return JDNumber::make(jd_numberFor(v));
  }

  // jd_cachedObjects
  Object cached() {
    JDTokenValue& v = s->token.value;
    if (v.type == JDValueTypeString && v.length == 0) return JDString::empty();
    const size_t mask = s->cacheCount - 1;
    JDTokenCacheItem* toFill = nullptr;
    for (uint64_t i = 0; i < 4; ++i) {
      size_t slot = static_cast<size_t>((i == 0 ? v.hash : v.hash + i * v.length + i * v.type + 3 * i) & mask);
      JDTokenCacheItem* item = &s->cache[slot];
      if (!item->object) {
        toFill = item;
        break;
      }
      if (item->hash == v.hash && item->size == v.length && item->type == v.type &&
          std::memcmp(item->bytes.get(), v.ptr, v.length) == 0) {
        v.cacheItem = item;
        return item->object;
      }
    }
    Object obj = objectFromValue(v);
    if (!toFill) toFill = &s->cache[v.hash & mask];
    toFill->object.reset();
    toFill->bytes.reset(new (std::nothrow) uint8_t[v.length]);
    if (!toFill->bytes) {
      *toFill = JDTokenCacheItem{};
      return obj;
    }
    std::memcpy(toFill->bytes.get(), v.ptr, v.length);
    toFill->object = obj;
    toFill->hash = v.hash;
    toFill->size = v.length;
    toFill->type = v.type;
    toFill->cfHash = 0;
    v.cacheItem = toFill;
    return obj;
  }

  Object stringOrNumber() { return cached(); }
  Object trueObject() { return JDBoolean::trueValue(); }
  Object falseObject() { return JDBoolean::falseValue(); }
  Object nullObject() { return JDNull::null(); }

  size_t mark() const { return s->objectStack.index; }

  // Grows the stack before each token; false with the error stored.
  bool reserve(const char* what) {
    JDObjectStack& st = s->objectStack;
    if (st.index + 4 > st.count && !jd_objectStack_resize(&st, st.count + 128)) {
      if (what[0] == 'a')
        jd_error(s, "Internal error: [array] objectsIndex > %zu, resize failed? %@ line %#ld", st.count, kThisFile,
                 long(__LINE__));
      else
        jd_error(s, "Internal error: [dictionary] objectsIndex > %zu, resize failed? %@ line #%ld", st.count,
                 kThisFile, long(__LINE__));
      return false;
    }
    return true;
  }

  void push(Object&& o) { s->objectStack.objects[s->objectStack.index++] = std::move(o); }

  // The key as an object and its hash.
  bool pushKey(Object& key, uint64_t& keyHash) {
    key = cached();
    if (!key) return false;
    JDTokenCacheItem* item = s->token.value.cacheItem;
    if (item) {
      if (item->cfHash == 0) item->cfHash = key->hash();
      keyHash = item->cfHash;
    } else {
      keyHash = key->hash();
    }
    return true;
  }

  void pushPair(Object&& key, uint64_t keyHash, Object&& object) {
    JDObjectStack& st = s->objectStack;
    st.keys[st.index] = std::move(key);
    st.cfHashes[st.index] = keyHash;
    st.objects[st.index] = std::move(object);
    st.index++;
  }

  Object makeArray(size_t from) {
    JDObjectStack& st = s->objectStack;
    Object a = _JKArrayCreate(st.objects + from, st.index - from, s->mutableCollections);
    unwind(from);
    return a;
  }

  Object makeDictionary(size_t from) {
    JDObjectStack& st = s->objectStack;
    Object d = _JKDictionaryCreate(st.keys + from, st.cfHashes + from, st.objects + from, st.index - from,
                                   s->mutableCollections);
    unwind(from);
    return d;
  }

  void unwind(size_t from) {
    JDObjectStack& st = s->objectStack;
    for (size_t i = from; i < st.index; ++i) {
      st.objects[i].reset();
      st.keys[i].reset();
      st.cfHashes[i] = 0;
    }
    st.index = from;
  }
};

// Makes plat::Value trees through the shared builder (stacks shared by all
// levels, key layouts met before made in order at once).
struct JDValueBuilder {
  struct Object {
    Value value;
    bool present = false;
  };
  struct Mark {
    size_t elements = 0;
    size_t members = 0;
  };

  explicit JDValueBuilder(JDParseState* state) : s(state) {}

  JDParseState* s;
  plat::ValueBuilder b;

  static bool isNull(const Object& o) { return !o.present; }

  // Each value is made in the object that carries it, never moved on the way.
  Object stringOrNumber() {
    const JDTokenValue& v = s->token.value;
    if (v.type == JDValueTypeString)
      return Object{Value(std::string(reinterpret_cast<const char*>(v.ptr), v.length)), true};
    return Object{Value(jd_numberFor(v)), true};
  }
  Object trueObject() { return Object{Value(true), true}; }
  Object falseObject() { return Object{Value(false), true}; }
  Object nullObject() { return Object{Value(), true}; }

  Mark mark() const { return {b.elementMark(), b.memberMark()}; }
  bool reserve(const char*) { return true; }
  void push(Object&& o) { b.pushElement(std::move(o.value)); }
  // The member is pushed with its key at once; `slot` says where its value goes.
  bool pushKey(Object& key, uint64_t& slot) {
    const JDTokenValue& v = s->token.value;
    const char* p = reinterpret_cast<const char*>(v.ptr);
    slot = b.memberMark();
    plat::ValueBuilder::Member& m = b.pushMember();
    // A key decoded into the token buffer is gone with the next string.
    if (v.ptr >= s->bytes && v.ptr + v.length <= s->bytes + s->length)
      m.borrowKey(p, v.length);
    else
      m.ownKey().assign(p, v.length);
    key.present = true;
    return true;
  }
  void pushPair(Object&&, uint64_t slot, Object&& object) { b.member(slot).value = std::move(object.value); }
  Object makeArray(Mark from) { return Object{b.makeArray(from.elements), true}; }
  Object makeDictionary(Mark from) { return Object{b.makeDictionary(from.members), true}; }
  void unwind(Mark from) {
    b.dropElements(from.elements);
    b.dropMembers(from.members);
  }
};

// ---- the parser ----

template <class B>
struct JDParser {
  using Object = typename B::Object;
  JDParseState* s;
  B& b;

  bool enter() {
    if (++s->depth > JSONDecoder::kMaxDepth) {
      jd_error(s, "Reached the maximum nesting depth of %d arrays and objects.", JSONDecoder::kMaxDepth);
      return false;
    }
    return true;
  }

  // jd_object_for_token
  Object objectForToken() {
    switch (s->token.type) {
      case JDTokenTypeString:
      case JDTokenTypeNumber: return b.stringOrNumber();
      case JDTokenTypeObjectBegin: return parseDictionary();
      case JDTokenTypeArrayBegin: return parseArray();
      case JDTokenTypeTrue: return b.trueObject();
      case JDTokenTypeFalse: return b.falseObject();
      case JDTokenTypeNull: return b.nullObject();
      default:
        jd_error(s, "Internal error: Unknown token type. %@ line #%ld", kThisFile, long(__LINE__));
        return Object{};
    }
  }

  enum Round { kNext, kDone, kFail };

  // The frame of both container parsers: one level deeper, then a token at
  // a time (the stack grown before each) until the container is done, the
  // input runs out or a round fails; an unfinished container is unwound.
  template <class Step>
  Object parseContainer(const char* what, bool keys, Step step) {
    Object result{};
    const auto from = b.mark();
    unsigned accept = JDParseAcceptValue | JDParseAcceptEnd;
    bool done = false;
    if (enter()) {
      while (!s->error && s->atIndex < s->length) {
        if (!b.reserve(what)) break;
        // After a member a comma is likely; in an object a key is likely otherwise.
        const uint8_t likely = (accept & JDParseAcceptComma) ? ',' : keys ? '"' : 0;
        if (!jd_parse_next_token(s, likely)) break;
        Round r = step(s->token.type, accept, from, result);
        if (r == kFail) break;
        if (r == kDone) {
          done = true;
          break;
        }
      }
    }
    if (!done) b.unwind(from);
    s->depth--;
    return result;
  }

  Object parseArray() {
    return parseContainer("array", false, [this](JDTokenType t, unsigned& accept, const auto& from, Object& result) {
      if (jd_isValueToken(t)) {
        if (!(accept & JDParseAcceptValue)) {
          jd_error(s, "Unexpected value.");
          return kFail;
        }
        Object o = objectForToken();
        if (B::isNull(o)) {
          jd_error(s, "Internal error: Object == NULL");
          return kFail;
        }
        b.push(std::move(o));
        accept = JDParseAcceptComma | JDParseAcceptEnd;
      } else if (t == JDTokenTypeArrayEnd) {
        if (!(accept & JDParseAcceptEnd)) {
          jd_error(s, "Unexpected ']'.");
          return kFail;
        }
        result = b.makeArray(from);
        return kDone;
      } else if (t == JDTokenTypeComma) {
        if (!(accept & JDParseAcceptComma)) {
          jd_error(s, "Unexpected ','.");
          return kFail;
        }
        accept = JDParseAcceptValue;
      } else {
        jd_error_parse_accept_or3(s, accept, "a value", "a comma", "a ']'");
        return kFail;
      }
      return kNext;
    });
  }

  Object parseDictionary() {
    return parseContainer("dictionary", true, [this](JDTokenType t, unsigned& accept, const auto& from, Object& result) {
      if (t == JDTokenTypeComma) {
        if (!(accept & JDParseAcceptComma)) {
          jd_error(s, "Unexpected ','.");
          return kFail;
        }
        accept = JDParseAcceptValue;
      } else if (t == JDTokenTypeObjectEnd) {
        if (!(accept & JDParseAcceptEnd)) {
          jd_error(s, "Unexpected '}'.");
          return kFail;
        }
        result = b.makeDictionary(from);
        return kDone;
      } else if (t == JDTokenTypeString) {
        if (!(accept & JDParseAcceptValue)) {
          jd_error(s, "Unexpected string.");
          return kFail;
        }
        Object key{};
        uint64_t keyHash = 0;
        if (!b.pushKey(key, keyHash) || B::isNull(key)) {
          jd_error(s, "Internal error: Key == NULL.");
          return kFail;
        }
        if (!jd_parse_next_token(s, ':')) return kFail;
        if (s->token.type != JDTokenTypeSeparator) {
          jd_error(s, "Expected ':'.");
          return kFail;
        }
        if (!jd_parse_next_token(s)) return kFail;
        if (!jd_isValueToken(s->token.type)) {
          jd_error_parse_accept_or3(s, accept, "a value", "a comma", "a '}'");
          return kFail;
        }
        Object o = objectForToken();
        if (B::isNull(o)) {
          jd_error(s, "Internal error: Object == NULL.");
          return kFail;
        }
        b.pushPair(std::move(key), keyHash, std::move(o));
        accept = JDParseAcceptComma | JDParseAcceptEnd;
      } else {
        jd_error_parse_accept_or3(s, accept, "a \"STRING\"", "a comma", "a '}'");
        return kFail;
      }
      return kNext;
    });
  }

  // json_parse_it
  Object parseIt() {
    Object result{};
    if (s->atIndex < s->length && jd_parse_next_token(s)) {
      if (s->token.type == JDTokenTypeObjectBegin || s->token.type == JDTokenTypeArrayBegin) {
        result = objectForToken();
      } else {
        jd_error(s, "Expected either '[' or '{'.");
      }
    }
    if (B::isNull(result)) {
      if (s->atIndex >= s->length) jd_error(s, "Reached the end of the buffer.");
      jd_error(s, "Unable to parse JSON.");
      return Object{};
    }
    jd_parse_skip_whitespace(s);
    if (s->parseOptionFlags & JDParseFlagAllowTrailingText) return result;
    if (s->atIndex < s->length) {
      jd_error(s, "A valid JSON object was parsed but there were additional non-white-space characters remaining.");
      return Object{};
    }
    return result;
  }
};

// _JKParseUTF8String, over either builder.
template <class B>
typename B::Object jd_parseWith(JDParseState* s, B& builder, bool mutableCollections, const unsigned char* string,
                                size_t length, Error* error) {
  s->bytes = string;
  s->length = length;
  s->atIndex = 0;
  s->lineNumber = 1;
  s->lineStartIndex = 0;
  s->error.reset();
  s->mutableCollections = mutableCollections;
  s->depth = 0;
  unsigned char tokenStorage[JD_TOKENBUFFER_SIZE];
  s->token.tokenBuffer.growthGranule = JD_TOKENBUFFER_GRANULE;
  jd_managedBuffer_setToStackBuffer(&s->token.tokenBuffer, tokenStorage, sizeof tokenStorage);

  typename B::Object result = JDParser<B>{s, builder}.parseIt();
  if (error && s->error) *error = *s->error;

  jd_managedBuffer_release(&s->token.tokenBuffer);
  s->token = JDParseToken{};
  s->bytes = nullptr;
  s->length = 0;
  s->atIndex = 0;
  s->mutableCollections = false;
  return result;
}

void jd_clearCache(JDParseState* s) {
  if (!s || !s->cache) return;
  for (size_t i = 0; i < s->cacheCount; ++i) s->cache[i] = JDTokenCacheItem{};
}

}  // namespace

// ---- JSONDecoder ----

std::unique_ptr<JSONDecoder> JSONDecoder::decoderWithParseOptions(unsigned long parseOptionFlags) {
  return std::make_unique<JSONDecoder>(parseOptionFlags);
}

JSONDecoder::JSONDecoder(unsigned long parseOptionFlags) {
  if (parseOptionFlags > JDParseOptionValidFlags)
    throw plat::Exception(plat::kInvalidArgumentException, "Invalid parse options.");
  parseState_ = std::make_unique<JDParseState>();
  parseState_->cache.reset(new JDTokenCacheItem[JD_CACHE_SLOTS]);
  parseState_->cacheCount = JD_CACHE_SLOTS;
  parseState_->parseOptionFlags = parseOptionFlags;
}

JSONDecoder::~JSONDecoder() { _JSONDecoderCleanup(this); }

void _JSONDecoderCleanup(JSONDecoder* decoder) {
  if (!decoder || !decoder->parseState_) return;
  JDParseState* s = decoder->parseState_.get();
  jd_managedBuffer_release(&s->token.tokenBuffer);
  jd_objectStack_release(&s->objectStack);
  jd_clearCache(s);
  s->cache.reset();
  decoder->parseState_.reset();
}

unsigned long JSONDecoder::parseOptionFlags() const { return parseState_ ? parseState_->parseOptionFlags : 0; }

void JSONDecoder::clearCache() { jd_clearCache(parseState_.get()); }

JDRef JSONDecoder::parse(const unsigned char* string, size_t length, bool mutableCollections, Error* error) {
  if (!parseState_) throw plat::Exception(plat::kInternalInconsistencyException, "parseState is NULL.");
  if (!string) throw plat::Exception(plat::kInvalidArgumentException, "The string argument is NULL.");
  JDParseState* s = parseState_.get();
  JDRef objects[JD_STACK_OBJS], keys[JD_STACK_OBJS];
  uint64_t hashes[JD_STACK_OBJS];
  jd_objectStack_setToStackBuffer(&s->objectStack, objects, keys, hashes, JD_STACK_OBJS);
  JDObjectBuilder builder{s};
  JDRef result = jd_parseWith(s, builder, mutableCollections, string, length, error);
  jd_objectStack_release(&s->objectStack);
  return result;
}

JDRef JSONDecoder::objectWithUTF8String(const unsigned char* string, size_t length, Error* error) {
  return parse(string, length, false, error);
}

JDRef JSONDecoder::mutableObjectWithUTF8String(const unsigned char* string, size_t length, Error* error) {
  return parse(string, length, true, error);
}

JDRef JSONDecoder::objectWithData(const plat::Data* jsonData, Error* error) {
  if (!jsonData) throw plat::Exception(plat::kInvalidArgumentException, "The jsonData argument is NULL.");
  static const unsigned char none = 0;
  return parse(jsonData->empty() ? &none : jsonData->data(), jsonData->size(), false, error);
}

JDRef JSONDecoder::mutableObjectWithData(const plat::Data* jsonData, Error* error) {
  if (!jsonData) throw plat::Exception(plat::kInvalidArgumentException, "The jsonData argument is NULL.");
  static const unsigned char none = 0;
  return parse(jsonData->empty() ? &none : jsonData->data(), jsonData->size(), true, error);
}

std::optional<Value> JSONDecoder::valueWithUTF8String(const unsigned char* string, size_t length, Error* error) {
  if (!parseState_) throw plat::Exception(plat::kInternalInconsistencyException, "parseState is NULL.");
  if (!string) throw plat::Exception(plat::kInvalidArgumentException, "The string argument is NULL.");
  JDValueBuilder builder{parseState_.get()};
  parseState_->hashValues = false;
  auto result = jd_parseWith(parseState_.get(), builder, false, string, length, error);
  parseState_->hashValues = true;
  if (!result.present) return std::nullopt;
  return std::move(result.value);
}

// ---- JDDeserializing ----

namespace {

// A text as the platform's strings hold it: surrogates encoded on their own
// (three bytes each) have no UTF-8 form and become "?" (a high and a low one
// in a row are the character they pair to); anything else that is not UTF-8
// cannot be a string's content. `converted` is set only when the text changes.
bool jd_stringToUTF8(std::string_view in, std::string& converted, bool& changed) {
  changed = false;
  if (plat::isValidUTF8(in)) return true;
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  const auto* e = p + in.size();
  converted.clear();
  converted.reserve(in.size());
  while (p < e) {
    if (const size_t n = plat::utf8SequenceLength(p, e)) {
      converted.append(reinterpret_cast<const char*>(p), n);
      p += n;
    } else if (const uint32_t hi = plat::encodedSurrogateAt(p, e)) {
      const uint32_t lo = plat::encodedSurrogateAt(p + 3, e);
      if (hi <= 0xDBFF && lo >= 0xDC00) {
        plat::appendUTF8(converted, 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
        p += 6;
      } else {
        converted.push_back('?');
        p += 3;
      }
      changed = true;
    } else {
      return false;
    }
  }
  return true;
}

// The categories' decoder: plain values need no cache (they have no
// identity to share), so its parse state is made without one.
std::optional<Value> jd_parseValue(unsigned long options, const unsigned char* bytes, size_t length, Error* error,
                                   bool* sawBadUTF8 = nullptr) {
  if (options > JDParseOptionValidFlags) throw plat::Exception(plat::kInvalidArgumentException, "Invalid parse options.");
  JDParseState state;
  state.parseOptionFlags = options;
  state.hashValues = false;
  JDValueBuilder builder{&state};
  auto result = jd_parseWith(&state, builder, false, bytes, length, error);
  if (sawBadUTF8) *sawBadUTF8 = state.sawBadUTF8;
  if (!result.present) return std::nullopt;
  return std::move(result.value);
}

std::optional<Value> jd_objectFromJSONString(std::string_view string, unsigned long options, Error* error) {
  if (options > JDParseOptionValidFlags) throw plat::Exception(plat::kInvalidArgumentException, "Invalid parse options.");
  static const unsigned char none = 0;
  // A text that parses, with every byte read as a token, white space or the
  // UTF-8 of a string, is its own UTF-8: the conversion below would hand the
  // parser the same bytes. Comments and trailing text are skipped unread, so
  // those options always convert first; so does any failure, which the
  // conversion may have to report instead.
  if (!(options & (JDParseFlagAllowComments | JDParseFlagAllowTrailingText))) {
    bool sawBadUTF8 = false;
    auto direct = jd_parseValue(options, string.empty() ? &none : reinterpret_cast<const unsigned char*>(string.data()),
                                string.size(), nullptr, &sawBadUTF8);
    if (direct && !sawBadUTF8) return direct;
  }
  std::string converted;
  bool changed = false;
  if (!jd_stringToUTF8(string, converted, changed)) {
    if (error)
      *error = Error::withDescription(JDErrorDomain, -1,
                                      "An error occurred converting the contents of a NSString to UTF8.");
    return std::nullopt;
  }
  std::string_view bytes = changed ? std::string_view(converted) : string;
  const auto* p = bytes.empty() ? &none : reinterpret_cast<const unsigned char*>(bytes.data());
  return jd_parseValue(options, p, bytes.size(), error);
}

std::optional<Value> jd_objectFromJSONData(const plat::Data* data, unsigned long options, Error* error) {
  if (options > JDParseOptionValidFlags) throw plat::Exception(plat::kInvalidArgumentException, "Invalid parse options.");
  if (!data) throw plat::Exception(plat::kInvalidArgumentException, "The jsonData argument is NULL.");
  static const unsigned char none = 0;
  return jd_parseValue(options, data->empty() ? &none : data->data(), data->size(), error);
}

}  // namespace

namespace JDDeserializing {

std::optional<Value> objectFromJSONString(std::string_view string) { return jd_objectFromJSONString(string, 0, nullptr); }
std::optional<Value> objectFromJSONStringWithParseOptions(std::string_view string, unsigned long o) {
  return jd_objectFromJSONString(string, o, nullptr);
}
std::optional<Value> objectFromJSONStringWithParseOptions(std::string_view string, unsigned long o, Error* error) {
  return jd_objectFromJSONString(string, o, error);
}
std::optional<Value> mutableObjectFromJSONString(std::string_view string) {
  return jd_objectFromJSONString(string, 0, nullptr);
}
std::optional<Value> mutableObjectFromJSONStringWithParseOptions(std::string_view string, unsigned long o) {
  return jd_objectFromJSONString(string, o, nullptr);
}
std::optional<Value> mutableObjectFromJSONStringWithParseOptions(std::string_view string, unsigned long o,
                                                                 Error* error) {
  return jd_objectFromJSONString(string, o, error);
}
std::optional<Value> objectFromJSONData(const plat::Data* data) { return jd_objectFromJSONData(data, 0, nullptr); }
std::optional<Value> objectFromJSONDataWithParseOptions(const plat::Data* data, unsigned long o) {
  return jd_objectFromJSONData(data, o, nullptr);
}
std::optional<Value> objectFromJSONDataWithParseOptions(const plat::Data* data, unsigned long o, Error* error) {
  return jd_objectFromJSONData(data, o, error);
}
std::optional<Value> mutableObjectFromJSONData(const plat::Data* data) {
  return jd_objectFromJSONData(data, 0, nullptr);
}
std::optional<Value> mutableObjectFromJSONDataWithParseOptions(const plat::Data* data, unsigned long o) {
  return jd_objectFromJSONData(data, o, nullptr);
}
std::optional<Value> mutableObjectFromJSONDataWithParseOptions(const plat::Data* data, unsigned long o,
                                                               Error* error) {
  return jd_objectFromJSONData(data, o, error);
}

}  // namespace JDDeserializing
