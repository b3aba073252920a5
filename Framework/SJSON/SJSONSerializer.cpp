#include "Framework/SJSON/SJSONSerializer.h"

#include <cmath>

#include "platform/foundation/format.h"
#include "platform/foundation/json_output.h"
#include "platform/foundation/text_codec.h"

namespace {

using plat::kJSONEscapes;
using plat::kLowerHexDigits;

bool isUnsupported(const plat::Value& v) { return v.isDate(); }

}  // namespace

bool SJSONSerializer::isValidJSONObject(const plat::Value& object) const { return !isUnsupported(object); }

// The reader keeps an escaped surrogate without its partner as the three
// bytes of its code unit (ED A0..BF xx), which are not UTF-8; it is written
// back as the same escape. Any other byte that is not UTF-8 fails the string.
namespace {

// Bytes [p, end) that need no escape, from a string that is not all UTF-8:
// its characters as they are, its encoded surrogates as escapes.
bool writeUncheckedRun(const uint8_t* p, const uint8_t* end, plat::Data& out) {
  const uint8_t* run = p;
  while (p < end) {
    if (*p < 0x80) {
      ++p;
    } else if (const size_t n = plat::utf8SequenceLength(p, end)) {
      p += n;
    } else if (const uint32_t unit = plat::encodedSurrogateAt(p, end)) {
      plat::appendBytes(out, run, static_cast<size_t>(p - run));
      const char escape[6] = {'\\', 'u', kLowerHexDigits[unit >> 12], kLowerHexDigits[(unit >> 8) & 15],
                              kLowerHexDigits[(unit >> 4) & 15], kLowerHexDigits[unit & 15]};
      plat::appendBytes(out, escape, sizeof escape);
      p += 3;
      run = p;
    } else {
      return false;
    }
  }
  plat::appendBytes(out, run, static_cast<size_t>(end - run));
  return true;
}
}  // namespace

bool SJSONSerializer::writeString(std::string_view s, plat::Data& out) {
  const bool valid = plat::isValidUTF8(s);
  const bool escapeSlash = options_ & kSJSONSerializerOptionEscapeSlash;
  out.push_back('"');
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* const end = p + s.size();
  for (;;) {
    const uint8_t* stop = plat::jsonUnescapedRunEnd(p, end, escapeSlash);
    if (valid) {
      plat::appendBytes(out, p, static_cast<size_t>(stop - p));
    } else if (!writeUncheckedRun(p, stop, out)) {
      return false;
    }
    if (stop == end) break;
    const uint8_t c = *stop;
    plat::appendJSONEscape(out, c, c == '/' ? '/' : kJSONEscapes.e[c]);
    p = stop + 1;
  }
  out.push_back('"');
  return true;
}

bool SJSONSerializer::writeNumber(const plat::Value& v, plat::Data& out) {
  if (const plat::Decimal* d = v.decimal()) {
    if (d->isNaN()) return false;
    // A whole number past twenty digits keeps its exponent ("1.5e31"), which
    // every reader takes for a decimal.
    if (d->exponent() > 0 && d->mantissa() != 0) {
      std::string digits;
      for (plat::Decimal::Mantissa m = d->mantissa(); m; m /= 10) digits.insert(digits.begin(), char('0' + int(m % 10)));
      if (digits.size() + static_cast<size_t>(d->exponent()) > 19) {
        std::string text;
        if (d->isNegative()) text.push_back('-');
        text.push_back(digits[0]);
        text.push_back('.');
        text.append(digits.size() > 1 ? digits.substr(1) : std::string("0"));
        text.push_back('e');
        text += std::to_string(d->exponent() + static_cast<int>(digits.size()) - 1);
        plat::appendBytes(out, text);
        return true;
      }
    }
    plat::appendBytes(out, d->description());
    return true;
  }
  const plat::Number n = v.number();
  if (n.type() == 'c') {
    // How booleans are stored.
    const int64_t i = n.longLongValue();
    if (i == 0 || i == 1) {
      plat::appendBytes(out, i ? "true" : "false");
      return true;
    }
  }
  if (n.isFloating()) {
    const double x = n.doubleValue();
    if (!std::isfinite(x)) return false;
    // "-0" would read back as the integer 0.
    plat::appendBytes(out, x == 0 && std::signbit(x) ? std::string("-0.0") : n.description());
    return true;
  }
  plat::appendBytes(out, n.description());
  return true;
}

bool SJSONSerializer::write(const plat::Value& object, plat::Data& out, int depth) {
  return writePlain(object, out, depth);
}

bool SJSONSerializer::writePlain(const plat::Value& object, plat::Data& out, int depth) {
  using K = plat::Value::Kind;
  switch (object.kind()) {
    case K::Null: plat::appendBytes(out, "null"); return true;
    case K::Bool:
    case K::Number:
    case K::Decimal: return writeNumber(object, out);
    case K::String: return writeString(object.string(), out);
    case K::Data: {
      const plat::Data& d = object.dataValue();
      return writeString(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()), out);
    }
    case K::Array: {
      if (depth >= kMaxDepth) return false;
      out.push_back('[');
      bool first = true;
      const plat::Array& a = object.array();
      for (const plat::Value *e = a.data(), *end = e + a.size(); e != end; ++e) {
        plat::prefetchAhead(e, end);
        if (!first) out.push_back(',');
        first = false;
        if (!write(*e, out, depth + 1)) return false;
      }
      out.push_back(']');
      return true;
    }
    case K::Dictionary: {
      if (depth >= kMaxDepth) return false;
      out.push_back('{');
      bool first = true;
      for (const auto& [key, value] : object.dictionary()) {
        if (!first) out.push_back(',');
        first = false;
        if (!writeString(key, out)) return false;
        out.push_back(':');
        if (!write(value, out, depth + 1)) return false;
      }
      out.push_back('}');
      return true;
    }
    case K::Date: return false;
  }
  return false;
}

bool SJSONSerializer::appendObject(const plat::Value& object, plat::Data& out) { return write(object, out, 0); }

std::optional<plat::Data> SJSONSerializer::run(const plat::Value& object, Only only, plat::Error* error) {
  using K = plat::Value::Kind;
  bool kindOk = true;
  switch (only) {
    case Only::Any: break;
    case Only::Null: kindOk = object.isNull(); break;
    case Only::Number: kindOk = object.isNumeric(); break;
    case Only::String: kindOk = object.isString(); break;
    case Only::Array: kindOk = object.kind() == K::Array; break;
    case Only::Dictionary: kindOk = object.kind() == K::Dictionary; break;
  }
  if (kindOk) {
    // Reserved once at about its length, the output is never grown and
    // copied, and it becomes the result as it is.
    plat::Data out;
    out.reserve(plat::jsonLengthEstimate(object));
    if (only == Only::Any ? write(object, out, 0) : writePlain(object, out, 0)) {
      plat::releaseUnused(out);
      return out;
    }
  }
  // The outermost failure is the one reported, as each level replaces the
  // error of the level below it.
  if (isUnsupported(object) && only == Only::Any) {
    plat::setError(error, plat::Error::withDescription(kSJSONSerializerErrorDomain, -1,
                                                       plat::format("Cannot serialize data of type '%@'",
                                                                    object.className())));
  } else {
    plat::setError(error, plat::Error::withDescription(kSJSONSerializerErrorDomain, -1,
                                                       plat::format("Could not serialize object '%@'", object)));
  }
  return std::nullopt;
}

std::optional<plat::Data> SJSONSerializer::serializeObject(const plat::Value& object, plat::Error* error) {
  return run(object, Only::Any, error);
}

std::optional<plat::Data> SJSONSerializer::serializeObject(const SJSONSerializable& object, plat::Error*) {
  return object.serializedJSONData();
}

std::optional<plat::Data> SJSONSerializer::serializeNull(const plat::Value& object, plat::Error* error) {
  return run(object, Only::Null, error);
}
std::optional<plat::Data> SJSONSerializer::serializeNumber(const plat::Value& number, plat::Error* error) {
  return run(number, Only::Number, error);
}
std::optional<plat::Data> SJSONSerializer::serializeString(const plat::Value& string, plat::Error* error) {
  return run(string, Only::String, error);
}
std::optional<plat::Data> SJSONSerializer::serializeArray(const plat::Value& array, plat::Error* error) {
  return run(array, Only::Array, error);
}
std::optional<plat::Data> SJSONSerializer::serializeDictionary(const plat::Value& dictionary, plat::Error* error) {
  return run(dictionary, Only::Dictionary, error);
}
