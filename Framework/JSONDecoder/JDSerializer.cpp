#include "Framework/JSONDecoder/JDSerializer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "Framework/JSONDecoder/JDManagedBuffer.h"
#include "Framework/JSONDecoder/JSONDecoder.h"
#include "platform/foundation/format.h"
#include "platform/foundation/json_output.h"
#include "platform/foundation/text_codec.h"

using plat::Value;

namespace {

constexpr size_t kCacheSlots = 1024;

struct JDEncodeCache {
  const void* object = nullptr;  // identity only, never dereferenced
  size_t offset = 0;
  size_t length = 0;
};

using plat::kJSONEscapes;

}  // namespace

// The state of one call. Replacements made by a formatter live here until the
// call ends: the cache keys on addresses, so a replacement freed early could
// hand its address, and its cached text, to another value.
struct JDEncodeState {
  virtual ~JDEncodeState() = default;
  JDEncodeCache encodeCache[kCacheSlots];
  uint64_t serializeOptionFlags = 0;
  uint64_t encodeOption = 0;
  uint64_t depth = 0;  // pretty mode only
  int nesting = 0;     // both modes, for the depth limit
  std::optional<plat::Error> firstError;
  JDSerializerDelegate* classFormatterDelegate = nullptr;
  std::string classFormatterSelector;
  const JDSerializer::FormatterBlock* classFormatterBlock = nullptr;
  std::deque<Value> replacements;
};

namespace {

// The output is made in the result it becomes: text for a string result,
// bytes for a data result. Sized at about its length ahead, written through
// by index and cut to what was written at the end, it is neither grown and
// copied on the way nor copied into the result, and a character costs a
// compare and a store (a string's own push_back is a call each).
template <class Result>
class Output {
public:
  using value_type = typename Result::value_type;
  void reserve(size_t n) {
    if (n > buf_.size()) buf_.resize(n);
  }
  size_t size() const { return n_; }
  [[gnu::always_inline]] void push_back(value_type c) {
    if (n_ == buf_.size()) [[unlikely]] grow(1);
    buf_[n_++] = c;
  }
  [[gnu::always_inline]] void append(const void* bytes, size_t k) {
    if (k == 0) return;
    if (buf_.size() - n_ < k) [[unlikely]] grow(k);
    std::memcpy(buf_.data() + n_, bytes, k);
    n_ += k;
  }
  void appendFill(size_t k, value_type c) {
    if (k == 0) return;
    if (buf_.size() - n_ < k) grow(k);
    std::memset(buf_.data() + n_, static_cast<unsigned char>(c), k);
    n_ += k;
  }
  // Longer: the new bytes are the caller's to write.
  void resize(size_t k) {
    if (k > buf_.size()) grow(k - n_);
    n_ = k;
  }
  value_type& operator[](size_t i) { return buf_[i]; }
  Result take() {
    buf_.resize(n_);
    plat::releaseUnused(buf_);
    return std::move(buf_);
  }

private:
  [[gnu::noinline]] void grow(size_t more) { buf_.resize(std::max(buf_.size() * 2, n_ + more)); }
  Result buf_;
  size_t n_ = 0;
};

template <class Result>
void appendTo(Output<Result>& out, const void* bytes, size_t n) {
  out.append(bytes, n);
}
template <class Result>
void appendTo(Output<Result>& out, std::string_view text) {
  out.append(text.data(), text.size());
}

template <class Out>
struct State final : JDEncodeState {
  Output<Out> out;
};

template <class Out>
[[gnu::always_inline]] inline void put(Output<Out>& out, char c) {
  out.push_back(static_cast<typename Out::value_type>(c));
}

template <class... Args>
int jd_encode_error(JDEncodeState& s, std::string_view fmt, const Args&... args) {
  if (!s.firstError)
    s.firstError = plat::Error::withDescription(JDErrorDomain, -1, plat::format(fmt, args...));
  return 1;
}

template <class Out>
void jd_encode_writePrettyPrintWhiteSpace(State<Out>& s) {
  put(s.out, '\n');
  s.out.appendFill(2 * s.depth, static_cast<typename Out::value_type>(' '));
}

// Structural characters: one character in compact mode; in pretty mode with
// the line breaks and indentation of its depth change (-1, 0, +1).
template <class Out>
void jd_encode_write1(State<Out>& s, int depthChange, char c) {
  if (!(s.serializeOptionFlags & JDSerializeOptionPretty)) {
    put(s.out, c);
    return;
  }
  if (depthChange < 0 && s.depth == 0) plat::throwInvalidParameter("encodeState->depth > 0");
  s.depth = static_cast<uint64_t>(static_cast<int64_t>(s.depth) + depthChange);
  if (c == ':') {
    appendTo(s.out, ": ");
    return;
  }
  if (depthChange == -1) jd_encode_writePrettyPrintWhiteSpace(s);
  put(s.out, c);
  if (depthChange != -1) jd_encode_writePrettyPrintWhiteSpace(s);
}

template <class Out>
void jd_encode_updateCache(State<Out>& s, JDEncodeCache* slot, size_t startingAtIndex, const void* object) {
  if (!slot) return;
  slot->object = object;
  slot->offset = startingAtIndex;
  slot->length = s.out.size() - startingAtIndex;
}

template <class Out>
int writeEscapedNonASCII(State<Out>& s, const unsigned char* p, size_t n) {
  const uint8_t* next = nullptr;
  uint32_t c = 0;
  if (ConvertSingleCodePointInUTF8(p, p + n, &next, &c) != conversionOK) return jd_encode_error(s, "Error converting UTF8.");
  char buf[16];
  if (c <= 0xFFFF) {
    std::snprintf(buf, sizeof buf, "\\u%4.4x", c);
  } else {
    std::snprintf(buf, sizeof buf, "\\u%4.4x\\u%4.4x", (c >> 10) + 0xD7C0, (c & 0x3FF) + 0xDC00);
  }
  appendTo(s.out, std::string_view(buf));
  return 0;
}

// A string's bytes by the escape table. Bytes that are not UTF-8 have no
// character to write and become "?", as the platform's lossy conversion does.
template <class Out>
int jd_encode_string(State<Out>& s, std::string_view str) {
  const bool trim = s.encodeOption & JDEncodeOptionStringObjTrimQuotes;
  const bool escapeSlash = s.serializeOptionFlags & JDSerializeOptionEscapeSlash;
  const bool escapeNonASCII = s.serializeOptionFlags & JDSerializeOptionEscapeNonASCII;
  auto& out = s.out;
  if (!trim) put(out, '"');
  const unsigned char* p = reinterpret_cast<const unsigned char*>(str.data());
  const unsigned char* end = p + str.size();
  if (!escapeNonASCII && plat::isValidUTF8(p, str.size())) {
    // UTF-8 is written as it is: only the bytes to escape stop the runs.
    for (;;) {
      const uint8_t* stop = plat::jsonUnescapedRunEnd(p, end, escapeSlash);
      appendTo(out, p, static_cast<size_t>(stop - p));
      if (stop == end) break;
      plat::appendJSONEscape(out, *stop, *stop == '/' ? '/' : kJSONEscapes.e[*stop]);
      p = stop + 1;
    }
    if (!trim) put(out, '"');
    return 0;
  }
  const unsigned char* run = p;
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      char e = kJSONEscapes.e[c];
      if (c == '/' && escapeSlash) e = '/';
      if (!e) {
        ++p;
        continue;
      }
      appendTo(out, run, static_cast<size_t>(p - run));
      plat::appendJSONEscape(out, c, e);
      run = ++p;
      continue;
    }
    size_t n = plat::utf8SequenceLength(p, end);
    if (n && !escapeNonASCII) {
      p += n;
      continue;
    }
    appendTo(out, run, static_cast<size_t>(p - run));
    if (n) {
      if (writeEscapedNonASCII(s, p, n)) return 1;
      p += n;
    } else {
      // An encoded surrogate is one character; other stray bytes one each.
      put(out, '?');
      p += plat::encodedSurrogateAt(p, end) ? 3 : 1;
    }
    run = p;
  }
  appendTo(out, run, static_cast<size_t>(end - run));
  if (!trim) put(out, '"');
  return 0;
}

template <class Out>
void writeUnsigned(State<Out>& s, uint64_t u, bool negative) {
  char buf[256];
  char* e = buf + sizeof buf;
  char* p = e;
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (negative) *--p = '-';
  appendTo(s.out, p, static_cast<size_t>(e - p));
}

template <class Out>
int jd_encode_number(State<Out>& s, const Value& v) {
  if (v.isBool()) {
    appendTo(s.out, v.boolValue() ? "true" : "false");
    return 0;
  }
  if (const plat::Decimal* d = v.decimal()) {
    // A decimal number answers 'd', as the platform's does.
    double x = d->doubleValue();
    if (d->isNaN() || !std::isfinite(x))
      return jd_encode_error(s, "Floating point values must be finite.  JSON does not support NaN or Infinity.");
    char buf[40];
    appendTo(s.out, buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%.17g", x)));
    return 0;
  }
  const plat::Number n = v.number();
  switch (n.type()) {
    case 'B':
    case 'C':
    case 'I':
    case 'L':
    case 'Q':
    case 'S': writeUnsigned(s, n.unsignedLongLongValue(), false); return 0;
    case 'c':
    case 'i':
    case 'l':
    case 'q':
    case 's': {
      const int64_t i = n.longLongValue();
      // The magnitude in unsigned arithmetic, so the smallest value is whole.
      const uint64_t mag = i < 0 ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
      writeUnsigned(s, mag, i < 0);
      return 0;
    }
    case 'd':
    case 'f': {
      const double x = n.doubleValue();
      if (!std::isfinite(x))
        return jd_encode_error(s, "Floating point values must be finite.  JSON does not support NaN or Infinity.");
      char buf[40];
      appendTo(s.out, buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%.17g", x)));
      return 0;
    }
    default: {
      const char t = n.type();
      return jd_encode_error(s, "NSNumber conversion error, unknown type.  Type: '%c' / 0x%2.2x", t,
                             static_cast<unsigned>(static_cast<unsigned char>(t)));
    }
  }
}

bool isSupported(const Value& v) { return !v.isData() && !v.isDate(); }

template <class Out>
int jd_encode_add_atom_to_buffer(State<Out>& s, const Value& given);

template <class Out>
int jd_encode_collection(State<Out>& s, const Value& v) {
  if (s.nesting >= JDSerializer::kMaxDepth)
    return jd_encode_error(s, "Unable to serialize object: nesting deeper than %d levels.", JDSerializer::kMaxDepth);
  ++s.nesting;
  if (v.isArray()) {
    jd_encode_write1(s, 1, '[');
    bool first = true;
    const plat::Array& a = v.array();
    for (const Value *e = a.data(), *end = e + a.size(); e != end; ++e) {
      plat::prefetchAhead(e, end);
      if (!first) jd_encode_write1(s, 0, ',');
      first = false;
      if (jd_encode_add_atom_to_buffer(s, *e)) return 1;
    }
    jd_encode_write1(s, -1, ']');
  } else {
    jd_encode_write1(s, 1, '{');
    bool first = true;
    for (const auto& [key, value] : v.dictionary()) {
      if (!first) jd_encode_write1(s, 0, ',');
      first = false;
      // Keys are strings by construction: "Key must be a string object." cannot arise.
      if (jd_encode_string(s, key)) return 1;
      jd_encode_write1(s, 0, ':');
      if (jd_encode_add_atom_to_buffer(s, value)) return 1;
    }
    jd_encode_write1(s, -1, '}');
  }
  --s.nesting;
  return 0;
}

template <class Out>
int jd_encode_add_atom_to_buffer(State<Out>& s, const Value& given) {
  const size_t startingAtIndex = s.out.size();
  const uint64_t p = reinterpret_cast<uintptr_t>(&given);
  JDEncodeCache* slot = &s.encodeCache[(((p >> 9) ^ (p >> 21)) + (p >> 4)) % kCacheSlots];
  if (slot->object == &given) {
    if (slot->offset + slot->length > startingAtIndex) plat::throwInvalidParameter("slot->offset + slot->length <= atIndex");
    // The earlier text lies wholly before the end: copied after it once there is room.
    if (slot->length) {
      s.out.resize(startingAtIndex + slot->length);
      std::memcpy(&s.out[startingAtIndex], &s.out[slot->offset], slot->length);
    }
    return 0;
  }

  const Value* v = &given;
  if (!isSupported(*v)) {
    std::optional<Value> replacement;
    if (s.classFormatterBlock) {
      replacement = (*s.classFormatterBlock)(*v);
    } else if (s.classFormatterDelegate) {
      replacement = s.classFormatterDelegate->performSelector(s.classFormatterSelector, *v);
    }
    if (!replacement) return jd_encode_error(s, "Unable to serialize object class %@.", given.className());
    s.replacements.push_back(std::move(*replacement));
    v = &s.replacements.back();
    if (!isSupported(*v))
      return jd_encode_error(s,
                             "Unable to serialize object class %@ that was returned by the unsupported class "
                             "formatter.  Original object class was %@.",
                             v->className(), given.className());
  }

  switch (v->kind()) {
    case Value::Kind::String:
      if (jd_encode_string(s, v->string())) return 1;
      break;
    case Value::Kind::Bool:
    case Value::Kind::Number:
    case Value::Kind::Decimal:
      if (jd_encode_number(s, *v)) return 1;
      break;
    case Value::Kind::Null: appendTo(s.out, "null"); break;
    case Value::Kind::Array:
    case Value::Kind::Dictionary: return jd_encode_collection(s, *v);
    default: return 1;  // not reached: unsupported kinds were replaced above
  }
  // Leaves are cached under the value that was given, so a replaced value
  // met again is copied without calling the formatter.
  jd_encode_updateCache(s, slot, startingAtIndex, &given);
  return 0;
}

}  // namespace

JDSerializer::JDSerializer() = default;
JDSerializer::~JDSerializer() { releaseState(); }

void JDSerializer::releaseState() { encodeState.reset(); }

std::optional<Value> JDSerializer::serializeObject(const Value& object, uint64_t options, uint64_t encodeOption,
                                                   const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                   const std::string& selector, plat::Error* error) {
  JDSerializer serializer;
  return serializer.serializeObjectWith(object, options, encodeOption, block, delegate, selector, error);
}

std::optional<Value> JDSerializer::serializeObjectWith(const Value& object, uint64_t options, uint64_t encodeOption,
                                                       const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                       const std::string& selector, plat::Error* error) {
  if ((encodeOption & JDEncodeOptionOutputMask) == JDEncodeOptionOutputData) {
    auto bytes = encode<plat::Data>(object, options, encodeOption, block, delegate, selector, error);
    if (!bytes) return std::nullopt;
    return Value(std::move(*bytes));
  }
  // Any other result type is refused once the value is encoded.
  auto text = encode<std::string>(object, options, encodeOption, block, delegate, selector, error);
  if (!text) return std::nullopt;
  return Value(std::move(*text));
}

std::optional<std::string> JDSerializer::serializeText(const Value& object, uint64_t options, uint64_t encodeOption,
                                                       const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                       const std::string& selector, plat::Error* error) {
  JDSerializer serializer;
  return serializer.encode<std::string>(object, options, encodeOption, block, delegate, selector, error);
}

std::optional<plat::Data> JDSerializer::serializeData(const Value& object, uint64_t options, uint64_t encodeOption,
                                                      const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                      const std::string& selector, plat::Error* error) {
  JDSerializer serializer;
  return serializer.encode<plat::Data>(object, options, encodeOption, block, delegate, selector, error);
}

template <class Out>
std::optional<Out> JDSerializer::encode(const Value& object, uint64_t options, uint64_t encodeOption,
                                        const FormatterBlock& block, JDSerializerDelegate* delegate,
                                        const std::string& selector, plat::Error* error) {
  if (encodeState) plat::throwInvalidParameter("encodeState == NULL");
  if (delegate && block) plat::throwInvalidParameter("((delegate == NULL) && (block == NULL)) || ((delegate != NULL) ^ (block != NULL))");
  if ((encodeOption & JDEncodeOptionCollectionObj) &&
      (encodeOption & (JDEncodeOptionStringObj | JDEncodeOptionStringObjTrimQuotes)))
    plat::throwInvalidParameter("((encodeOption & JDEncodeOptionCollectionObj) != 0UL) ? (((encodeOption & JDEncodeOptionStringObj) == 0UL) && ((encodeOption & JDEncodeOptionStringObjTrimQuotes) == 0UL)) : 1");

  if (error) *error = plat::Error();
  if (delegate) {
    if (selector.empty())
      throw plat::Exception(plat::kInvalidArgumentException,
                            "The delegate argument is not NULL, but the selector argument is NULL.");
    if (!delegate->respondsToSelector(selector))
      throw plat::Exception(plat::kInvalidArgumentException,
                            "The serializeUnsupportedClassesUsingDelegate: delegate does not respond to the selector "
                            "argument.");
  }

  auto state = std::make_unique<State<Out>>();
  State<Out>& s = *state;
  encodeState = std::move(state);
  // Whatever leaves this call, the state goes with it.
  struct Release {
    JDSerializer* self;
    ~Release() { self->releaseState(); }
  } release{this};
  s.classFormatterDelegate = delegate;
  s.classFormatterSelector = selector;
  s.classFormatterBlock = block ? &block : nullptr;
  s.serializeOptionFlags = options;
  s.encodeOption = encodeOption;
  const bool pretty = options & JDSerializeOptionPretty;
  s.out.reserve(plat::jsonLengthEstimate(object, pretty ? plat::JSONLayout{2, 4, 2} : plat::JSONLayout{}));

  constexpr uint64_t kResultType =
      std::is_same_v<Out, plat::Data> ? JDEncodeOptionOutputData : JDEncodeOptionOutputString;
  if ((encodeOption & JDEncodeOptionCollectionObj) && !object.isArray() && !object.isDictionary()) {
    jd_encode_error(s, "Unable to serialize object class %@, expected a NSArray or NSDictionary.", object.className());
  } else if ((encodeOption & JDEncodeOptionStringObj) && !object.isString()) {
    jd_encode_error(s, "Unable to serialize object class %@, expected a NSString.", object.className());
  } else if (jd_encode_add_atom_to_buffer(s, object) == 0 && (encodeOption & JDEncodeOptionOutputMask) != kResultType) {
    jd_encode_error(s, "Unknown encode as type.");
  }
  if (s.firstError) {
    if (error) *error = std::move(*s.firstError);
    return std::nullopt;
  }
  return s.out.take();
}

namespace JDSerializing {
namespace {
const JDSerializer::FormatterBlock kNoBlock;
}  // namespace

std::optional<plat::Data> JSONData(std::string_view string) {
  return JDSerializer::serializeData(Value(string), 0, 17, kNoBlock, nullptr, {}, nullptr);
}
std::optional<plat::Data> JSONDataWithOptions(std::string_view string, uint64_t options, bool includeQuotes,
                                              plat::Error* error) {
  return JDSerializer::serializeData(Value(string), options, includeQuotes ? 17 : 49, kNoBlock, nullptr, {}, error);
}
std::optional<std::string> JSONString(std::string_view string) {
  return JDSerializer::serializeText(Value(string), 0, 18, kNoBlock, nullptr, {}, nullptr);
}
std::optional<std::string> JSONStringWithOptions(std::string_view string, uint64_t options, bool includeQuotes,
                                                 plat::Error* error) {
  return JDSerializer::serializeText(Value(string), options, includeQuotes ? 18 : 50, kNoBlock, nullptr, {}, error);
}

std::optional<plat::Data> collectionJSONData(const Value& c) {
  return JDSerializer::serializeData(c, 0, 9, kNoBlock, nullptr, {}, nullptr);
}
std::optional<plat::Data> collectionJSONDataWithOptions(const Value& c, uint64_t options, plat::Error* error) {
  return JDSerializer::serializeData(c, options, 9, kNoBlock, nullptr, {}, error);
}
std::optional<plat::Data> collectionJSONDataWithOptions(const Value& c, uint64_t options,
                                                        JDSerializerDelegate* delegate, const std::string& selector,
                                                        plat::Error* error) {
  return JDSerializer::serializeData(c, options, 9, kNoBlock, delegate, selector, error);
}
std::optional<plat::Data> collectionJSONDataWithOptions(const Value& c, uint64_t options,
                                                        const JDSerializer::FormatterBlock& block, plat::Error* error) {
  return JDSerializer::serializeData(c, options, 9, block, nullptr, {}, error);
}
std::optional<std::string> collectionJSONString(const Value& c) {
  return JDSerializer::serializeText(c, 0, 10, kNoBlock, nullptr, {}, nullptr);
}
std::optional<std::string> collectionJSONStringWithOptions(const Value& c, uint64_t options, plat::Error* error) {
  return JDSerializer::serializeText(c, options, 10, kNoBlock, nullptr, {}, error);
}
std::optional<std::string> collectionJSONStringWithOptions(const Value& c, uint64_t options,
                                                           JDSerializerDelegate* delegate, const std::string& selector,
                                                           plat::Error* error) {
  return JDSerializer::serializeText(c, options, 10, kNoBlock, delegate, selector, error);
}
std::optional<std::string> collectionJSONStringWithOptions(const Value& c, uint64_t options,
                                                           const JDSerializer::FormatterBlock& block,
                                                           plat::Error* error) {
  return JDSerializer::serializeText(c, options, 10, block, nullptr, {}, error);
}
}  // namespace JDSerializing
