// printf-style formatting with "%@" for any value's description, so the
// system's message formats can be copied as they stand. Arguments are typed,
// so a wrong conversion never reads garbage: it converts the value instead.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace plat {

class FormatArg {
public:
  enum class Kind { Int, UInt, Double, CString, String, Value, Pointer };

  FormatArg(bool v) : kind_(Kind::Int), i_(v ? 1 : 0) {}
  FormatArg(char v) : kind_(Kind::Int), i_(v) {}
  FormatArg(signed char v) : kind_(Kind::Int), i_(v) {}
  FormatArg(unsigned char v) : kind_(Kind::UInt), u_(v) {}
  FormatArg(short v) : kind_(Kind::Int), i_(v) {}
  FormatArg(unsigned short v) : kind_(Kind::UInt), u_(v) {}
  FormatArg(int v) : kind_(Kind::Int), i_(v) {}
  FormatArg(unsigned v) : kind_(Kind::UInt), u_(v) {}
  FormatArg(long v) : kind_(Kind::Int), i_(v) {}
  FormatArg(unsigned long v) : kind_(Kind::UInt), u_(v) {}
  FormatArg(long long v) : kind_(Kind::Int), i_(v) {}
  FormatArg(unsigned long long v) : kind_(Kind::UInt), u_(v) {}
  FormatArg(float v) : kind_(Kind::Double), d_(v) {}
  FormatArg(double v) : kind_(Kind::Double), d_(v) {}
  FormatArg(const char* v) : kind_(Kind::CString), cs_(v) {}
  FormatArg(char* v) : kind_(Kind::CString), cs_(v) {}
  FormatArg(const std::string& v) : kind_(Kind::String), sv_(v) {}
  FormatArg(std::string_view v) : kind_(Kind::String), sv_(v) {}
  FormatArg(const Value& v) : kind_(Kind::Value), v_(&v) {}
  FormatArg(const void* v) : kind_(Kind::Pointer), p_(v) {}
  FormatArg(std::nullptr_t) : kind_(Kind::CString), cs_(nullptr) {}
  // Anything with a description(): Number, Decimal, Error, Date...
  template <class T>
    requires requires(const T& t) { { t.description() } -> std::convertible_to<std::string>; } &&
             (!std::same_as<T, Value>)
  FormatArg(const T& t) : kind_(Kind::String), owned_(t.description()) {
    sv_ = owned_;
  }
  FormatArg(const FormatArg& o) : kind_(o.kind_), i_(o.i_), u_(o.u_), d_(o.d_), cs_(o.cs_), sv_(o.sv_), v_(o.v_), p_(o.p_), owned_(o.owned_) {
    if (!owned_.empty()) sv_ = owned_;
  }
  FormatArg& operator=(const FormatArg&) = delete;

  Kind kind() const { return kind_; }
  int64_t asInt() const;
  uint64_t asUInt() const;
  double asDouble() const;
  // The text "%@" and "%s" print; "(null)" for a null C string.
  std::string asText() const;
  const void* asPointer() const { return kind_ == Kind::Pointer ? p_ : nullptr; }

private:
  Kind kind_;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  const char* cs_ = nullptr;
  std::string_view sv_;
  const Value* v_ = nullptr;
  const void* p_ = nullptr;
  std::string owned_;
};

std::string vformat(std::string_view fmt, const FormatArg* args, size_t count);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return vformat(fmt, nullptr, 0);
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return vformat(fmt, list, sizeof...(Args));
  }
}

}  // namespace plat
