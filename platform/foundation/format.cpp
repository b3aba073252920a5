#include "platform/foundation/format.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace plat {

int64_t FormatArg::asInt() const {
  switch (kind_) {
    case Kind::Int: return i_;
    case Kind::UInt: return static_cast<int64_t>(u_);
    case Kind::Double: return static_cast<int64_t>(d_);
    case Kind::Value: return v_->longLongValue();
    case Kind::Pointer: return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p_));
    default: return std::strtoll(asText().c_str(), nullptr, 10);
  }
}

uint64_t FormatArg::asUInt() const {
  switch (kind_) {
    case Kind::UInt: return u_;
    case Kind::Value: return v_->unsignedLongLongValue();
    default: return static_cast<uint64_t>(asInt());
  }
}

double FormatArg::asDouble() const {
  switch (kind_) {
    case Kind::Double: return d_;
    case Kind::Int: return static_cast<double>(i_);
    case Kind::UInt: return static_cast<double>(u_);
    case Kind::Value: return v_->doubleValue();
    default: return std::strtod(asText().c_str(), nullptr);
  }
}

std::string FormatArg::asText() const {
  switch (kind_) {
    case Kind::CString: return cs_ ? cs_ : "(null)";
    case Kind::String: return std::string(sv_);
    case Kind::Value: return v_->description();
    case Kind::Int: return std::to_string(i_);
    case Kind::UInt: return std::to_string(u_);
    case Kind::Double: return Number::fromDouble(d_).description();
    case Kind::Pointer: {
      if (!p_) return "(null)";
      char b[32];
      std::snprintf(b, sizeof b, "%p", p_);
      return b;
    }
  }
  return {};
}

namespace {
bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }
}  // namespace

std::string vformat(std::string_view fmt, const FormatArg* args, size_t count) {
  std::string out;
  out.reserve(fmt.size() + 16 * count);
  size_t next = 0;
  auto take = [&]() -> const FormatArg* { return next < count ? &args[next++] : nullptr; };
  char buf[512];

  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    size_t start = i++;
    if (i >= fmt.size()) {
      out.push_back('%');
      break;
    }
    if (fmt[i] == '%') {
      out.push_back('%');
      continue;
    }
    std::string spec = "%";
    while (i < fmt.size() && isFlag(fmt[i])) spec.push_back(fmt[i++]);
    if (i < fmt.size() && fmt[i] == '*') {
      const FormatArg* a = take();
      spec += std::to_string(a ? a->asInt() : 0);
      ++i;
    } else {
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') spec.push_back(fmt[i++]);
    }
    if (i < fmt.size() && fmt[i] == '.') {
      spec.push_back(fmt[i++]);
      if (i < fmt.size() && fmt[i] == '*') {
        const FormatArg* a = take();
        spec += std::to_string(a ? a->asInt() : 0);
        ++i;
      } else {
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') spec.push_back(fmt[i++]);
      }
    }
    // Length modifiers carry no meaning here: the argument knows its type.
    while (i < fmt.size() && (fmt[i] == 'h' || fmt[i] == 'l' || fmt[i] == 'q' || fmt[i] == 'z' ||
                              fmt[i] == 'j' || fmt[i] == 't' || fmt[i] == 'L')) {
      ++i;
    }
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    char conv = fmt[i];
    const FormatArg* a = nullptr;
    switch (conv) {
      case 'd':
      case 'i':
      case 'D':
        a = take();
        std::snprintf(buf, sizeof buf, (spec + PRId64).c_str(), a ? a->asInt() : int64_t{0});
        out += buf;
        break;
      case 'u':
      case 'U':
      case 'x':
      case 'X':
      case 'o':
      case 'O': {
        a = take();
        char k = conv == 'U' ? 'u' : conv == 'O' ? 'o' : conv;
        const char* m = k == 'u' ? PRIu64 : k == 'x' ? PRIx64 : k == 'X' ? PRIX64 : PRIo64;
        std::snprintf(buf, sizeof buf, (spec + m).c_str(), a ? a->asUInt() : uint64_t{0});
        out += buf;
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        a = take();
        spec.push_back(conv);
        std::snprintf(buf, sizeof buf, spec.c_str(), a ? a->asDouble() : 0.0);
        out += buf;
        break;
      case 'c':
        a = take();
        spec.push_back('c');
        std::snprintf(buf, sizeof buf, spec.c_str(), static_cast<int>(a ? a->asInt() : 0));
        out += buf;
        break;
      case 's':
      case '@': {
        a = take();
        std::string text = a ? a->asText() : std::string("(null)");
        if (spec == "%") {
          out += text;
        } else {
          spec.push_back('s');
          int n = std::snprintf(nullptr, 0, spec.c_str(), text.c_str());
          std::string tmp(static_cast<size_t>(n) + 1, '\0');
          std::snprintf(tmp.data(), tmp.size(), spec.c_str(), text.c_str());
          tmp.resize(static_cast<size_t>(n));
          out += tmp;
        }
        break;
      }
      case 'p':
        a = take();
        std::snprintf(buf, sizeof buf, "%p", a ? a->asPointer() : nullptr);
        out += buf;
        break;
      default:
        // Unknown conversion: keep the text as written.
        out.append(fmt.substr(start, i - start + 1));
        break;
    }
  }
  return out;
}

}  // namespace plat
