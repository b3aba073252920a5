#include "platform/foundation/user_defaults.h"

#include <cstring>
#include <memory>

#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"

namespace plat {

namespace {
constexpr char kMagic[] = "QVDEF1\n";
constexpr size_t kMagicLen = sizeof kMagic - 1;
constexpr int kMaxDepth = 64;

void putU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void putU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void putBytes(std::string& out, const void* p, size_t n) {
  putU32(out, static_cast<uint32_t>(n));
  out.append(static_cast<const char*>(p), n);
}

void encodeValue(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: out.push_back('n'); break;
    case Value::Kind::Bool: out.push_back(v.boolValue() ? 'T' : 'F'); break;
    case Value::Kind::Number: {
      Number n = v.number();
      out.push_back('N');
      out.push_back(n.type());
      if (n.isFloating()) {
        double d = n.doubleValue();
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        putU64(out, bits);
      } else {
        putU64(out, n.unsignedLongLongValue());
      }
      break;
    }
    case Value::Kind::Decimal: {
      out.push_back('M');
      std::string t = v.decimal()->description();
      putBytes(out, t.data(), t.size());
      break;
    }
    case Value::Kind::String: out.push_back('s'); putBytes(out, v.string().data(), v.string().size()); break;
    case Value::Kind::Data: out.push_back('d'); putBytes(out, v.dataValue().data(), v.dataValue().size()); break;
    case Value::Kind::Date: {
      out.push_back('t');
      double d = v.date().secondsSince1970;
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      putU64(out, bits);
      break;
    }
    case Value::Kind::Array:
      out.push_back('a');
      putU32(out, static_cast<uint32_t>(v.array().size()));
      for (const auto& e : v.array()) encodeValue(out, e);
      break;
    case Value::Kind::Dictionary:
      out.push_back('o');
      putU32(out, static_cast<uint32_t>(v.dictionary().size()));
      for (const auto& [k, e] : v.dictionary()) {
        putBytes(out, k.data(), k.size());
        encodeValue(out, e);
      }
      break;
  }
}

struct Reader {
  std::string_view in;
  size_t pos = 0;
  bool take(size_t n) { return in.size() - pos >= n; }
  bool u32(uint32_t& v) {
    if (!take(4)) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[pos + static_cast<size_t>(i)])) << (8 * i);
    pos += 4;
    return true;
  }
  bool u64(uint64_t& v) {
    if (!take(8)) return false;
    v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(in[pos + static_cast<size_t>(i)])) << (8 * i);
    pos += 8;
    return true;
  }
  bool bytes(std::string_view& s) {
    uint32_t n;
    if (!u32(n) || !take(n)) return false;
    s = in.substr(pos, n);
    pos += n;
    return true;
  }
  bool value(Value& out, int depth) {
    if (depth > kMaxDepth || !take(1)) return false;
    char tag = in[pos++];
    switch (tag) {
      case 'n': out = Value(); return true;
      case 'T': out = Value(true); return true;
      case 'F': out = Value(false); return true;
      case 'N': {
        if (!take(1)) return false;
        char type = in[pos++];
        uint64_t bits;
        if (!u64(bits)) return false;
        switch (type) {
          case 'f': case 'd': {
            double d;
            std::memcpy(&d, &bits, sizeof d);
            out = type == 'f' ? Value(Number::fromFloat(static_cast<float>(d))) : Value(Number::fromDouble(d));
            return true;
          }
          case 'Q': out = Value(Number::fromUnsignedLongLong(bits)); return true;
          case 'c': out = Value(Number::fromChar(static_cast<signed char>(bits))); return true;
          case 'C': out = Value(Number::fromUnsignedChar(static_cast<unsigned char>(bits))); return true;
          case 's': out = Value(Number::fromShort(static_cast<short>(bits))); return true;
          case 'S': out = Value(Number::fromUnsignedShort(static_cast<unsigned short>(bits))); return true;
          case 'i': out = Value(Number::fromInt(static_cast<int>(bits))); return true;
          case 'I': out = Value(Number::fromUnsignedInt(static_cast<unsigned>(bits))); return true;
          case 'l': case 'q': out = Value(Number::fromLongLong(static_cast<long long>(bits))); return true;
          case 'L': out = Value(Number::fromUnsignedLongLong(bits)); return true;
          default: return false;
        }
      }
      case 'M': {
        std::string_view s;
        if (!bytes(s)) return false;
        auto d = s == "NaN" ? std::optional<Decimal>(Decimal::notANumber()) : Decimal::parse(s);
        if (!d) return false;
        out = Value(*d);
        return true;
      }
      case 's': {
        std::string_view s;
        if (!bytes(s)) return false;
        out = Value(std::string(s));
        return true;
      }
      case 'd': {
        std::string_view s;
        if (!bytes(s)) return false;
        out = Value::data(s.data(), s.size());
        return true;
      }
      case 't': {
        uint64_t bits;
        if (!u64(bits)) return false;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        out = Value(Date{d});
        return true;
      }
      case 'a': {
        uint32_t n;
        if (!u32(n) || n > in.size() - pos) return false;  // each element takes a byte at least
        Array a;
        a.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
          Value e;
          if (!value(e, depth + 1)) return false;
          a.push_back(std::move(e));
        }
        out = Value(std::move(a));
        return true;
      }
      case 'o': {
        Dictionary d;
        if (!dict(d, depth + 1)) return false;
        out = Value(std::move(d));
        return true;
      }
      default: return false;
    }
  }
  bool dict(Dictionary& d, int depth) {
    uint32_t n;
    if (depth > kMaxDepth || !u32(n) || n > in.size() - pos) return false;
    std::vector<Dictionary::Entry> entries;
    entries.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
      std::string_view k;
      Value v;
      if (!bytes(k) || !value(v, depth + 1)) return false;
      entries.emplace_back(std::string(k), std::move(v));
    }
    d = Dictionary::fromEntries(std::move(entries));
    return true;
  }
};

std::mutex gStandardMutex;
std::string gStandardPath;  // guarded by gStandardMutex
}  // namespace

std::string UserDefaults::encode(const Dictionary& d) {
  std::string out(kMagic, kMagicLen);
  out.push_back('o');
  putU32(out, static_cast<uint32_t>(d.size()));
  for (const auto& [k, v] : d) {
    putBytes(out, k.data(), k.size());
    encodeValue(out, v);
  }
  return out;
}

std::optional<Dictionary> UserDefaults::decode(std::string_view bytes) {
  if (bytes.substr(0, kMagicLen) != std::string_view(kMagic, kMagicLen)) return std::nullopt;
  Reader r{bytes, kMagicLen};
  if (!r.take(1) || bytes[r.pos++] != 'o') return std::nullopt;
  Dictionary d;
  if (!r.dict(d, 0) || r.pos != bytes.size()) return std::nullopt;
  return d;
}

UserDefaults& UserDefaults::standard() {
  static std::unique_ptr<UserDefaults> instance;
  static std::once_flag once;
  std::call_once(once, [] {
    std::string path;
    {
      std::lock_guard<std::mutex> l(gStandardMutex);
      path = gStandardPath;
    }
    if (path.empty()) {
      const char* xdg = std::getenv("XDG_CONFIG_HOME");
      std::string base = xdg && *xdg ? xdg : pathJoin(homeDirectory(), ".config");
      path = pathJoin(base, "Quorva/defaults");
    }
    instance = std::make_unique<UserDefaults>(path);
  });
  return *instance;
}

void UserDefaults::setStandardPath(std::string path) {
  std::lock_guard<std::mutex> l(gStandardMutex);
  gStandardPath = std::move(path);
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) { reload(); }

void UserDefaults::reload() {
  std::lock_guard<std::mutex> l(mutex_);
  values_.clear();
  auto bytes = readFile(path_);
  if (!bytes) return;  // no file yet
  auto d = decode(*bytes);
  if (!d) {
    log("UserDefaults: ignoring the damaged file %@", path_);
    return;
  }
  values_ = std::move(*d);
}

Value UserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard<std::mutex> l(mutex_);
  return values_[key];
}

std::string UserDefaults::stringForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isString()) return v.string();
  if (v.isNumeric()) return v.description();
  return {};
}
int64_t UserDefaults::integerForKey(const std::string& key) const { return objectForKey(key).longLongValue(); }
double UserDefaults::doubleForKey(const std::string& key) const { return objectForKey(key).doubleValue(); }
bool UserDefaults::boolForKey(const std::string& key) const { return objectForKey(key).boolValue(); }

bool UserDefaults::setObject(const std::string& key, Value value) {
  std::lock_guard<std::mutex> l(mutex_);
  if (value.isNull()) {
    values_.remove(key);
  } else {
    values_.set(key, std::move(value));
  }
  return save();
}

bool UserDefaults::removeObjectForKey(const std::string& key) { return setObject(key, Value()); }

bool UserDefaults::save() {
  Error err;
  makeDirectories(pathDirname(path_), 0700);
  if (!atomicWrite(path_, encode(values_), 0600, &err)) {
    log("UserDefaults: cannot write %@: %@", path_, err.localizedDescription());
    return false;
  }
  return true;
}

}  // namespace plat
