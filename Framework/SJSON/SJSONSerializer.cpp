#include "Framework/SJSON/SJSONSerializer.h"

#include <cmath>

#include "Framework/Staticclass/NSStringExpand.h"
#include "platform/foundation/format.h"

namespace {

// 0: copied as is; 'u': \u00XX; anything else: backslash and that letter.
struct EscapeTable {
  char e[256];
  constexpr EscapeTable() : e() {
    for (int c = 0; c < 0x20; ++c) e[c] = 'u';
    e['\b'] = 'b';
    e['\t'] = 't';
    e['\n'] = 'n';
    e['\f'] = 'f';
    e['\r'] = 'r';
    e['"'] = '"';
    e['\\'] = '\\';
  }
};
constexpr EscapeTable kEscapes;
constexpr char kHex[] = "0123456789abcdef";

bool isUnsupported(const plat::Value& v) { return v.isDate(); }

}  // namespace

bool SJSONSerializer::isValidJSONObject(const plat::Value& object) const { return !isUnsupported(object); }

bool SJSONSerializer::writeString(std::string_view s, std::string& out) {
  if (!NSStringExpand::isValidUTF8(s)) return false;
  const bool escapeSlash = options_ & kSJSONSerializerOptionEscapeSlash;
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    char e = kEscapes.e[c];
    if (c == '/' && escapeSlash) e = '/';
    if (!e) continue;
    out.append(run, p);
    out.push_back('\\');
    out.push_back(e);
    if (e == 'u') {
      out.append("00");
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
    run = p + 1;
  }
  out.append(run, end);
  out.push_back('"');
  return true;
}

bool SJSONSerializer::writeNumber(const plat::Value& v, std::string& out) {
  if (const plat::Decimal* d = v.decimal()) {
    if (d->isNaN()) return false;
    out += d->description();
    return true;
  }
  const plat::Number n = v.number();
  if (n.type() == 'c') {
    // How booleans are stored.
    const int64_t i = n.longLongValue();
    if (i == 0 || i == 1) {
      out += i ? "true" : "false";
      return true;
    }
  }
  if (n.isFloating() && !std::isfinite(n.doubleValue())) return false;
  out += n.description();
  return true;
}

bool SJSONSerializer::write(const plat::Value& object, std::string& out, int depth) {
  return writePlain(object, out, depth);
}

bool SJSONSerializer::writePlain(const plat::Value& object, std::string& out, int depth) {
  using K = plat::Value::Kind;
  switch (object.kind()) {
    case K::Null: out += "null"; return true;
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
      for (const plat::Value& e : object.array()) {
        if (!first) out.push_back(',');
        first = false;
        if (!write(e, out, depth + 1)) return false;
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

bool SJSONSerializer::appendObject(const plat::Value& object, std::string& out) { return write(object, out, 0); }

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
  std::string out;
  if (kindOk) {
    out.reserve(256);
    if (only == Only::Any ? write(object, out, 0) : writePlain(object, out, 0))
      return plat::Data(out.begin(), out.end());
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
