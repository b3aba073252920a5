#include "platform/ipc/remote_message.h"

#include <cstdint>
#include <limits>

#include "platform/foundation/text_codec.h"

namespace plat {
namespace {

bool encodeInto(const Value& v, std::string& out, int depth) {
  if (depth > 16) return false;
  switch (v.kind()) {
    case Value::Kind::Null: out += "null"; return true;
    case Value::Kind::Bool: out += v.boolValue() ? "true" : "false"; return true;
    case Value::Kind::Number: {
      if (v.number().isFloating()) return false;
      out += std::to_string(v.longLongValue());
      return true;
    }
    case Value::Kind::String: {
      const std::string& s = v.string();
      if (!isValidUTF8(s)) return false;
      out += '"';
      for (unsigned char c : s) {
        switch (c) {
          case '"': out += "\\\""; break;
          case '\\': out += "\\\\"; break;
          case '\n': out += "\\n"; break;
          case '\r': out += "\\r"; break;
          case '\t': out += "\\t"; break;
          default:
            if (c < 0x20) {
              static const char* hex = "0123456789abcdef";
              out += "\\u00";
              out += hex[c >> 4];
              out += hex[c & 15];
            } else {
              out += static_cast<char>(c);
            }
        }
      }
      out += '"';
      return true;
    }
    case Value::Kind::Array: {
      out += '[';
      bool first = true;
      for (const Value& e : v.array()) {
        if (!first) out += ',';
        first = false;
        if (!encodeInto(e, out, depth + 1)) return false;
      }
      out += ']';
      return true;
    }
    default: return false;
  }
}

// A reader over one line. Each value kind has its own small function; a
// failure anywhere makes the whole line nothing.
class Reader {
public:
  Reader(std::string_view s, const MessageLimits& l) : s_(s), limits_(l) {}

  std::optional<Array> message() {
    skipBlanks();
    if (!peek('[')) return std::nullopt;
    auto v = value(1);
    skipBlanks();
    if (!v || pos_ != s_.size()) return std::nullopt;
    return v->array();
  }

private:
  bool peek(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
  void skipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
  }
  bool word(std::string_view w) {
    if (s_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  std::optional<Value> value(int depth) {
    skipBlanks();
    if (pos_ >= s_.size()) return std::nullopt;
    if (++elements_ > limits_.maxElements) return std::nullopt;
    const char c = s_[pos_];
    if (c == '[') return array(depth);
    if (c == '"') return text();
    if (c == '-' || (c >= '0' && c <= '9')) return integer();
    if (word("null")) return Value();
    if (word("true")) return Value(true);
    if (word("false")) return Value(false);
    return std::nullopt;
  }

  std::optional<Value> array(int depth) {
    if (depth > limits_.maxDepth) return std::nullopt;
    ++pos_;  // '['
    Array out;
    skipBlanks();
    if (peek(']')) {
      ++pos_;
      return Value(std::move(out));
    }
    for (;;) {
      auto e = value(depth + 1);
      if (!e) return std::nullopt;
      out.push_back(std::move(*e));
      skipBlanks();
      if (peek(',')) {
        ++pos_;
        continue;
      }
      if (peek(']')) {
        ++pos_;
        return Value(std::move(out));
      }
      return std::nullopt;
    }
  }

  std::optional<Value> integer() {
    const bool negative = peek('-');
    if (negative) ++pos_;
    const size_t start = pos_;
    uint64_t magnitude = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      const uint64_t d = static_cast<uint64_t>(s_[pos_] - '0');
      if (magnitude > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
      magnitude = magnitude * 10 + d;
      ++pos_;
    }
    if (pos_ == start || pos_ - start > 19) return std::nullopt;
    if (s_[start] == '0' && pos_ - start > 1) return std::nullopt;
    if (pos_ < s_.size() && (s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E')) return std::nullopt;
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                    : uint64_t(std::numeric_limits<int64_t>::max());
    if (magnitude > limit) return std::nullopt;
    const int64_t n = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return Value(static_cast<long long>(n));
  }

  std::optional<Value> text() {
    ++pos_;  // '"'
    std::string out;
    while (pos_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        if (!isValidUTF8(out)) return std::nullopt;
        return Value(std::move(out));
      }
      if (c < 0x20) return std::nullopt;
      if (c != '\\') {
        out += static_cast<char>(c);
        ++pos_;
        continue;
      }
      if (!escape(out)) return std::nullopt;
    }
    return std::nullopt;
  }

  bool escape(std::string& out) {
    if (++pos_ >= s_.size()) return false;
    const char e = s_[pos_++];
    switch (e) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'u': break;
      default: return false;
    }
    auto unit = hex4();
    if (!unit) return false;
    uint32_t cp = *unit;
    if (cp >= 0xD800 && cp < 0xDC00) {
      if (!word("\\u")) return false;
      auto low = hex4();
      if (!low || *low < 0xDC00 || *low >= 0xE000) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
    } else if (cp >= 0xDC00 && cp < 0xE000) {
      return false;
    }
    appendUTF8(out, cp);
    return true;
  }

  std::optional<uint32_t> hex4() {
    if (pos_ + 4 > s_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hexDigitValue(static_cast<unsigned char>(s_[pos_++]));
      if (d < 0) return std::nullopt;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
  }

  std::string_view s_;
  const MessageLimits& limits_;
  size_t pos_ = 0;
  size_t elements_ = 0;
};

}  // namespace

std::optional<std::string> encodeMessage(const Value& message) {
  if (!message.isArray()) return std::nullopt;
  std::string out;
  if (!encodeInto(message, out, 0)) return std::nullopt;
  return out;
}

std::optional<Array> decodeMessage(std::string_view line, const MessageLimits& limits) {
  if (line.size() > limits.maxBytes) return std::nullopt;
  return Reader(line, limits).message();
}

}  // namespace plat
