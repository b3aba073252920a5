#include "platform/foundation/value.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace plat {

// ---- Number ----

Number Number::fromUnsignedLongLong(unsigned long long v) {
  Number n('Q', static_cast<int64_t>(v));
  return n;
}

bool Number::boolValue() const {
  return isFloating() ? d_ != 0.0 : i_ != 0;
}

int64_t Number::longLongValue() const {
  if (!isFloating()) return i_;
  if (std::isnan(d_)) return 0;
  if (d_ >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (d_ <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d_);
}

uint64_t Number::unsignedLongLongValue() const {
  if (!isFloating()) return static_cast<uint64_t>(i_);
  if (std::isnan(d_) || d_ <= 0) return d_ <= -1.0 ? static_cast<uint64_t>(longLongValue()) : 0;
  if (d_ >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(d_);
}

double Number::doubleValue() const {
  if (isFloating()) return d_;
  if (type_ == 'Q') return static_cast<double>(static_cast<uint64_t>(i_));
  return static_cast<double>(i_);
}

static std::string shortestDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[40];
  for (int prec = 15; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

std::string Number::description() const {
  if (type_ == 'f') return shortestDouble(static_cast<double>(static_cast<float>(d_)));
  if (type_ == 'd') return shortestDouble(d_);
  if (type_ == 'Q') return std::to_string(static_cast<uint64_t>(i_));
  return std::to_string(i_);
}

bool Number::operator==(const Number& o) const {
  if (isFloating() || o.isFloating()) return doubleValue() == o.doubleValue();
  if ((type_ == 'Q') != (o.type_ == 'Q') && (i_ < 0 || o.i_ < 0)) return false;
  return i_ == o.i_;
}

// ---- Decimal ----

namespace {
constexpr Decimal::Mantissa pow10u(int n) {
  Decimal::Mantissa p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}
constexpr Decimal::Mantissa kMaxMantissa = pow10u(Decimal::kMaxDigits) - 1;
constexpr int kMinExponent = -128;
constexpr int kMaxExponent = 127;

int digitCount(Decimal::Mantissa m) {
  int n = 0;
  while (m) {
    m /= 10;
    ++n;
  }
  return n;
}

std::string mantissaText(Decimal::Mantissa m) {
  if (m == 0) return "0";
  std::string s;
  while (m) {
    s.push_back(static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  }
  std::reverse(s.begin(), s.end());
  return s;
}
}  // namespace

Decimal::Decimal(bool negative, Mantissa mantissa, int exponent)
    : mantissa_(mantissa), exponent_(exponent), negative_(negative) {
  // Keep at most 38 digits, rounding half up.
  while (mantissa_ > kMaxMantissa) {
    Mantissa rem = mantissa_ % 10;
    mantissa_ /= 10;
    ++exponent_;
    if (rem >= 5) ++mantissa_;
  }
  normalize();
}

Decimal Decimal::notANumber() {
  Decimal d;
  d.nan_ = true;
  return d;
}

void Decimal::normalize() {
  if (mantissa_ == 0) {
    exponent_ = 0;
    negative_ = false;
    return;
  }
  while (mantissa_ % 10 == 0 && exponent_ < kMaxExponent) {
    mantissa_ /= 10;
    ++exponent_;
  }
}

std::optional<Decimal> Decimal::parse(std::string_view t) {
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
  Mantissa m = 0;
  int exp = 0;
  int digits = 0;
  bool any = false;
  bool roundUp = false;
  bool dropped = false;
  auto take = [&](char c, bool fraction) {
    any = true;
    int d = c - '0';
    if (digits == 0 && d == 0) {
      if (fraction) --exp;
      return;
    }
    if (digits < kMaxDigits) {
      m = m * 10 + static_cast<Mantissa>(d);
      ++digits;
      if (fraction) --exp;
    } else {
      if (!dropped) roundUp = d >= 5;
      dropped = true;
      if (!fraction) ++exp;
    }
  };
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') take(t[i++], false);
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') take(t[i++], true);
  }
  if (!any) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool eneg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) eneg = t[i++] == '-';
    if (i >= t.size() || t[i] < '0' || t[i] > '9') return std::nullopt;
    long e = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      e = e * 10 + (t[i++] - '0');
      if (e > 100000) e = 100000;
    }
    exp += static_cast<int>(eneg ? -e : e);
  }
  if (i != t.size()) return std::nullopt;
  if (roundUp) ++m;
  Decimal d(neg, m, 0);
  int total = d.exponent_ + exp;
  if (d.mantissa_ != 0 && (total > kMaxExponent || total < kMinExponent - kMaxDigits)) return std::nullopt;
  d.exponent_ = d.mantissa_ == 0 ? 0 : total;
  while (d.exponent_ < kMinExponent && d.mantissa_ != 0) {  // underflow: lose digits
    d.mantissa_ /= 10;
    ++d.exponent_;
  }
  d.normalize();
  return d;
}

double Decimal::doubleValue() const {
  if (nan_) return std::nan("");
  std::string s;
  if (negative_) s.push_back('-');
  s.append(mantissaText(mantissa_));
  s.push_back('e');
  s.append(std::to_string(exponent_));
  return std::strtod(s.c_str(), nullptr);
}

int64_t Decimal::longLongValue() const {
  if (nan_ || mantissa_ == 0) return 0;
  Mantissa m = mantissa_;
  int e = exponent_;
  while (e < 0 && m) {
    m /= 10;
    ++e;
  }
  const Mantissa limit = negative_ ? Mantissa(1) << 63 : (Mantissa(1) << 63) - 1;
  while (e > 0) {
    if (m > limit / 10) return negative_ ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    m *= 10;
    --e;
  }
  if (m > limit) return negative_ ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  return negative_ ? static_cast<int64_t>(-static_cast<__int128>(m)) : static_cast<int64_t>(m);
}

std::string Decimal::description() const {
  if (nan_) return "NaN";
  const std::string digits = mantissaText(mantissa_);
  const int n = static_cast<int>(digits.size());
  std::string out;
  out.reserve(digits.size() + 48);
  if (negative_) out.push_back('-');
  // Scientific form for magnitudes that plain digits would make unwieldy.
  auto scientific = [&](const char* sign) {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    out.push_back('e');
    out.append(sign);
    out.append(std::to_string(exponent_ + n - 1));
    return out;
  };
  if (exponent_ >= 0) {
    if (n + exponent_ > kMaxDigits + 2) return scientific("+");
    out.append(digits);
    out.append(static_cast<size_t>(exponent_), '0');
    return out;
  }
  const int point = n + exponent_;  // digits before the point
  if (point > 0) {
    out.append(digits, 0, static_cast<size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<size_t>(point), std::string::npos);
    return out;
  }
  if (-point > kMaxDigits) return scientific("");
  out.append("0.");
  out.append(static_cast<size_t>(-point), '0');
  out.append(digits);
  return out;
}

int Decimal::compare(const Decimal& o) const {
  if (nan_ || o.nan_) return nan_ == o.nan_ ? 0 : (nan_ ? -1 : 1);
  if (mantissa_ == 0 && o.mantissa_ == 0) return 0;
  int sa = mantissa_ == 0 ? 0 : (negative_ ? -1 : 1);
  int sb = o.mantissa_ == 0 ? 0 : (o.negative_ ? -1 : 1);
  if (sa != sb) return sa < sb ? -1 : 1;
  // Same sign: compare magnitudes by order of magnitude, then digits.
  int ma = digitCount(mantissa_) + exponent_;
  int mb = digitCount(o.mantissa_) + o.exponent_;
  int mag;
  if (ma != mb) {
    mag = ma < mb ? -1 : 1;
  } else {
    std::string a = mantissaText(mantissa_), b = mantissaText(o.mantissa_);
    size_t len = std::max(a.size(), b.size());
    a.resize(len, '0');
    b.resize(len, '0');
    mag = a == b ? 0 : (a < b ? -1 : 1);
  }
  return sa < 0 ? -mag : mag;
}

// ---- Date ----

std::string Date::description() const {
  std::time_t t = static_cast<std::time_t>(std::floor(secondsSince1970));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

// ---- Dictionary ----

namespace {
const Value& nullValue() {
  static const Value v;
  return v;
}
struct KeyLess {
  bool operator()(const Dictionary::Entry& e, std::string_view k) const { return e.first < k; }
};
}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& e : entries) set(e.first, e.second);
}

Dictionary Dictionary::fromEntries(std::vector<Entry> entries) {
  Dictionary d;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.first < b.first; });
  // Of equal keys keep the last.
  std::vector<Entry> out;
  out.reserve(entries.size());
  for (auto& e : entries) {
    if (!out.empty() && out.back().first == e.first) {
      out.back().second = std::move(e.second);
    } else {
      out.push_back(std::move(e));
    }
  }
  d.entries_ = std::move(out);
  return d;
}

Dictionary Dictionary::fromSortedEntries(std::vector<Entry> entries) {
  for (size_t i = 1; i < entries.size(); ++i) {
    if (!(entries[i - 1].first < entries[i].first)) return fromEntries(std::move(entries));
  }
  Dictionary d;
  d.entries_ = std::move(entries);
  return d;
}

const Value* Dictionary::find(std::string_view key) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess());
  if (it == entries_.end() || it->first != key) return nullptr;
  return &it->second;
}

const Value& Dictionary::operator[](std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : nullValue();
}

void Dictionary::set(std::string key, Value value) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), std::string_view(key), KeyLess());
  if (it != entries_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    entries_.insert(it, Entry(std::move(key), std::move(value)));
  }
}

bool Dictionary::remove(std::string_view key) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess());
  if (it == entries_.end() || it->first != key) return false;
  entries_.erase(it);
  return true;
}

bool Dictionary::operator==(const Dictionary& o) const { return entries_ == o.entries_; }

// ---- Value ----

Value Value::data(const void* bytes, size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  return Value(Data(p, p + n));
}

bool Value::boolValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(v_);
    case Kind::Number: return std::get<Number>(v_).boolValue();
    case Kind::Decimal: return !std::get<Decimal>(v_).isZero() && !std::get<Decimal>(v_).isNaN();
    case Kind::String: {
      // As a text's boolValue: leading blanks, then Y/y/T/t or a non-zero digit.
      const std::string& s = std::get<std::string>(v_);
      size_t i = s.find_first_not_of(" \t\n");
      if (i == std::string::npos) return false;
      if (s[i] == '+' || s[i] == '-') ++i;
      while (i < s.size() && s[i] == '0') ++i;
      return i < s.size() && (s[i] == 'Y' || s[i] == 'y' || s[i] == 'T' || s[i] == 't' || (s[i] >= '1' && s[i] <= '9'));
    }
    default: return false;
  }
}

int64_t Value::longLongValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Kind::Number: return std::get<Number>(v_).longLongValue();
    case Kind::Decimal: return std::get<Decimal>(v_).longLongValue();
    case Kind::String: return std::strtoll(std::get<std::string>(v_).c_str(), nullptr, 10);
    default: return 0;
  }
}

uint64_t Value::unsignedLongLongValue() const {
  switch (kind()) {
    case Kind::Number: return std::get<Number>(v_).unsignedLongLongValue();
    case Kind::String: return std::strtoull(std::get<std::string>(v_).c_str(), nullptr, 10);
    default: return static_cast<uint64_t>(longLongValue());
  }
}

double Value::doubleValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Kind::Number: return std::get<Number>(v_).doubleValue();
    case Kind::Decimal: return std::get<Decimal>(v_).doubleValue();
    case Kind::String: return std::strtod(std::get<std::string>(v_).c_str(), nullptr);
    case Kind::Date: return std::get<Date>(v_).secondsSince1970;
    default: return 0.0;
  }
}

Number Value::number() const {
  switch (kind()) {
    case Kind::Bool: return Number::fromBool(std::get<bool>(v_));
    case Kind::Number: return std::get<Number>(v_);
    case Kind::Decimal: return Number::fromDouble(std::get<Decimal>(v_).doubleValue());
    default: return Number::fromInt(0);
  }
}

const std::string& Value::string() const {
  static const std::string empty;
  const auto* s = std::get_if<std::string>(&v_);
  return s ? *s : empty;
}

const Data& Value::dataValue() const {
  static const Data empty;
  const auto* d = std::get_if<std::shared_ptr<const Data>>(&v_);
  return d ? **d : empty;
}

Date Value::date() const {
  const auto* d = std::get_if<Date>(&v_);
  return d ? *d : Date{};
}

const Array& Value::array() const {
  static const Array empty;
  const auto* a = std::get_if<std::shared_ptr<const Array>>(&v_);
  return a ? **a : empty;
}

const Dictionary& Value::dictionary() const {
  static const Dictionary empty;
  const auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
  return d ? **d : empty;
}

Array& Value::mutableArray() {
  auto* a = std::get_if<std::shared_ptr<const Array>>(&v_);
  if (!a) {
    v_ = std::make_shared<const Array>();
    a = std::get_if<std::shared_ptr<const Array>>(&v_);
  } else if (a->use_count() > 1) {
    *a = std::make_shared<const Array>(**a);
  }
  return const_cast<Array&>(**a);
}

Dictionary& Value::mutableDictionary() {
  auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
  if (!d) {
    v_ = std::make_shared<const Dictionary>();
    d = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
  } else if (d->use_count() > 1) {
    *d = std::make_shared<const Dictionary>(**d);
  }
  return const_cast<Dictionary&>(**d);
}

const Value& Value::operator[](std::string_view key) const {
  if (!isDictionary()) return nullValue();
  return dictionary()[key];
}

const Value& Value::operator[](size_t index) const {
  const Array& a = array();
  return index < a.size() ? a[index] : nullValue();
}

size_t Value::count() const {
  if (isArray()) return array().size();
  if (isDictionary()) return dictionary().size();
  return 0;
}

namespace {
// Old property-list quoting: bare when the text is all word characters.
void appendQuoted(std::string& out, const std::string& s) {
  bool bare = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c >= 0x80;
  });
  if (bare) {
    out += s;
    return;
  }
  out.push_back('"');
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  out.push_back('"');
}
}  // namespace

void Value::describe(std::string& out, int indent) const {
  switch (kind()) {
    case Kind::Null: out += indent < 0 ? "<null>" : "\"<null>\""; break;
    case Kind::Bool: out += std::get<bool>(v_) ? "1" : "0"; break;
    case Kind::Number: out += std::get<Number>(v_).description(); break;
    case Kind::Decimal: out += std::get<Decimal>(v_).description(); break;
    case Kind::String:
      if (indent < 0) {
        out += std::get<std::string>(v_);
      } else {
        appendQuoted(out, std::get<std::string>(v_));
      }
      break;
    case Kind::Data: {
      static const char* hex = "0123456789abcdef";
      const Data& d = dataValue();
      out.push_back('<');
      for (size_t i = 0; i < d.size(); ++i) {
        if (i && i % 4 == 0) out.push_back(' ');
        out.push_back(hex[d[i] >> 4]);
        out.push_back(hex[d[i] & 15]);
      }
      out.push_back('>');
      break;
    }
    case Kind::Date: out += std::get<Date>(v_).description(); break;
    case Kind::Array: {
      const int in = indent < 0 ? 0 : indent;
      const std::string p(static_cast<size_t>(in) * 4, ' ');
      out += "(\n";
      const Array& a = array();
      for (size_t i = 0; i < a.size(); ++i) {
        out += p + "    ";
        a[i].describe(out, in + 1);
        out += i + 1 < a.size() ? ",\n" : "\n";
      }
      out += p + ")";
      break;
    }
    case Kind::Dictionary: {
      const int in = indent < 0 ? 0 : indent;
      const std::string p(static_cast<size_t>(in) * 4, ' ');
      out += "{\n";
      for (const auto& [k, v] : dictionary()) {
        out += p + "    ";
        appendQuoted(out, k);
        out += " = ";
        v.describe(out, in + 1);
        out += ";\n";
      }
      out += p + "}";
      break;
    }
  }
}

const char* Value::className() const {
  switch (kind()) {
    case Kind::Null: return "NSNull";
    case Kind::Bool:
    case Kind::Number: return "NSNumber";
    case Kind::Decimal: return "NSDecimalNumber";
    case Kind::String: return "NSString";
    case Kind::Data: return "NSData";
    case Kind::Date: return "NSDate";
    case Kind::Array: return "NSArray";
    case Kind::Dictionary: return "NSDictionary";
  }
  return "NSObject";
}

std::string Value::description() const {
  std::string out;
  describe(out, -1);
  return out;
}

bool Value::operator==(const Value& o) const {
  if (kind() != o.kind()) {
    // Numbers compare by value across bool, number and decimal.
    if (isNumeric() && o.isNumeric()) return number() == o.number();
    return false;
  }
  switch (kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return std::get<bool>(v_) == std::get<bool>(o.v_);
    case Kind::Number: return std::get<Number>(v_) == std::get<Number>(o.v_);
    case Kind::Decimal: return std::get<Decimal>(v_) == std::get<Decimal>(o.v_);
    case Kind::String: return std::get<std::string>(v_) == std::get<std::string>(o.v_);
    case Kind::Data: return dataValue() == o.dataValue();
    case Kind::Date: return date() == o.date();
    case Kind::Array: return array() == o.array();
    case Kind::Dictionary: return dictionary() == o.dictionary();
  }
  return false;
}

namespace {

// The double a decimal text names, rounded to nearest, whatever the locale;
// ±0 when it underflows, nothing when it overflows or is no number.
std::optional<double> doubleOfText(std::string_view t) {
  bool neg = !t.empty() && t[0] == '-';
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) t.remove_prefix(1);
  if (t.empty() || t[0] == '-' || t[0] == '+') return std::nullopt;
  double x = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), x, std::chars_format::general);
  if (r.ptr != t.data() + t.size()) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) {
    // Too small for any double, or too large: only the first is a number.
    // The power of ten of the first significant digit tells which.
    size_t e = t.find_first_of("eE");
    std::string_view mant = t.substr(0, e);
    size_t point = std::min(mant.find('.'), mant.size());
    size_t first = mant.find_first_not_of("0.");
    if (first == std::string_view::npos) return std::nullopt;  // zero never overflows
    long order = first < point ? static_cast<long>(point - first) - 1 : -static_cast<long>(first - point);
    long exp = 0;
    if (e != std::string_view::npos) {
      std::string_view et = t.substr(e + 1);
      bool eneg = !et.empty() && et[0] == '-';
      if (!et.empty() && (et[0] == '-' || et[0] == '+')) et.remove_prefix(1);
      for (char c : et) exp = std::min(exp * 10 + (c - '0'), 100000L);
      if (eneg) exp = -exp;
    }
    if (order + exp >= 0) return std::nullopt;
    x = 0;
  } else if (r.ec != std::errc()) {
    return std::nullopt;
  }
  if (!std::isfinite(x)) return std::nullopt;
  return neg ? -x : x;
}

}  // namespace

std::optional<Value> decimalOrDouble(std::string_view text) {
  auto x = doubleOfText(text);
  if (!x) return std::nullopt;
  auto d = Decimal::parse(text);
  if (d && !d->isNaN() && std::signbit(d->doubleValue()) == std::signbit(*x) && d->doubleValue() == *x) return Value(*d);
  return Value(*x);
}

std::string decimalTextOfDouble(double x) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, x);
  std::string shortest(buf, r.ptr);
  auto d = Decimal::parse(shortest);
  if (d && std::signbit(d->doubleValue()) == std::signbit(x) && d->doubleValue() == x) return d->description();
  return shortest;
}

}  // namespace plat
