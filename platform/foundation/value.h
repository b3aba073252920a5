// The one value type shared by the JSON codecs, the database binding and
// error user-info: null, bool, number (with its C type code), decimal, text,
// bytes, date, array and dictionary. Containers are shared and immutable once
// built; the mutating accessors copy on write.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace plat {

class Value;

// A number that remembers the C type it was made from, as the database
// binding chooses its SQLite call by that code: 'c' char/BOOL, 'C' unsigned
// char, 's'/'S' short, 'i'/'I' int, 'l'/'L' long, 'q'/'Q' long long,
// 'f' float, 'd' double.
class Number {
public:
  Number() = default;
  static Number fromBool(bool b) { return Number('c', static_cast<int64_t>(b ? 1 : 0)); }
  static Number fromChar(signed char v) { return Number('c', static_cast<int64_t>(v)); }
  static Number fromUnsignedChar(unsigned char v) { return Number('C', static_cast<int64_t>(v)); }
  static Number fromShort(short v) { return Number('s', static_cast<int64_t>(v)); }
  static Number fromUnsignedShort(unsigned short v) { return Number('S', static_cast<int64_t>(v)); }
  static Number fromInt(int v) { return Number('i', static_cast<int64_t>(v)); }
  static Number fromUnsignedInt(unsigned v) { return Number('I', static_cast<int64_t>(v)); }
  static Number fromLong(long v) { return Number('q', static_cast<int64_t>(v)); }
  static Number fromUnsignedLong(unsigned long v) { return fromUnsignedLongLong(v); }
  static Number fromLongLong(long long v) { return Number('q', static_cast<int64_t>(v)); }
  static Number fromUnsignedLongLong(unsigned long long v);
  static Number fromFloat(float v) { return Number('f', static_cast<double>(v)); }
  static Number fromDouble(double v) { return Number('d', v); }

  char type() const { return type_; }
  bool isFloating() const { return type_ == 'f' || type_ == 'd'; }
  bool isUnsigned64() const { return type_ == 'Q'; }

  bool boolValue() const;
  int intValue() const { return static_cast<int>(longLongValue()); }
  int64_t longLongValue() const;
  uint64_t unsignedLongLongValue() const;
  double doubleValue() const;
  float floatValue() const { return static_cast<float>(doubleValue()); }

  // Decimal text: integers exactly, floating values in the shortest form that
  // reads back to the same double.
  std::string description() const;

  bool operator==(const Number& o) const;

private:
  Number(char t, int64_t i) : type_(t), i_(i) {}
  Number(char t, double d) : type_(t), d_(d) {}
  char type_ = 'i';
  int64_t i_ = 0;    // integer kinds ('Q' keeps the bits)
  double d_ = 0.0;   // 'f' and 'd'
};

// A base-ten number of up to 38 significant digits: mantissa * 10^exponent.
class Decimal {
public:
  static constexpr int kMaxDigits = 38;
  using Mantissa = unsigned __int128;

  Decimal() = default;
  Decimal(bool negative, Mantissa mantissa, int exponent);
  static Decimal notANumber();

  // Parses "[-]digits[.digits][(e|E)[+-]digits]". Digits past the 38th are
  // dropped (rounded half up) and counted into the exponent. Empty when the
  // text is not such a number, or the exponent is out of range.
  static std::optional<Decimal> parse(std::string_view text);

  bool isNaN() const { return nan_; }
  bool isNegative() const { return negative_; }
  Mantissa mantissa() const { return mantissa_; }
  int exponent() const { return exponent_; }
  bool isZero() const { return !nan_ && mantissa_ == 0; }

  double doubleValue() const;
  int64_t longLongValue() const;  // truncated toward zero, saturating
  // Plain decimal text ("-12.5", "1e+40" style only when the number is huge).
  std::string description() const;

  int compare(const Decimal& o) const;  // -1, 0, 1; NaN sorts first
  bool operator==(const Decimal& o) const { return compare(o) == 0; }

private:
  // The mantissa kept as two eight-byte halves: a 16-byte aligned field
  // would make every Value 48 bytes instead of 40.
  class Packed {
  public:
    Packed(Mantissa m = 0) : lo_(static_cast<uint64_t>(m)), hi_(static_cast<uint64_t>(m >> 64)) {}
    operator Mantissa() const { return (static_cast<Mantissa>(hi_) << 64) | lo_; }
    Packed& operator/=(unsigned d) { return *this = static_cast<Mantissa>(*this) / d; }
    Packed& operator++() { return *this = static_cast<Mantissa>(*this) + 1; }

  private:
    uint64_t lo_, hi_;
  };
  void normalize();
  Packed mantissa_;
  int exponent_ = 0;
  bool negative_ = false;
  bool nan_ = false;
};

using Data = std::vector<std::uint8_t>;

// A point in time, in seconds since 1970-01-01 00:00:00 UTC.
struct Date {
  double secondsSince1970 = 0;
  bool operator==(const Date& o) const { return secondsSince1970 == o.secondsSince1970; }
  // "2024-01-01 10:00:00 +0000"
  std::string description() const;
};

using Array = std::vector<Value>;

class Dictionary;

class Value {
public:
  enum class Kind { Null, Bool, Number, Decimal, String, Data, Date, Array, Dictionary };

  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(Number::fromInt(i)) {}
  Value(unsigned i) : v_(Number::fromUnsignedInt(i)) {}
  Value(long i) : v_(Number::fromLong(i)) {}
  Value(unsigned long i) : v_(Number::fromUnsignedLong(i)) {}
  Value(long long i) : v_(Number::fromLongLong(i)) {}
  Value(unsigned long long i) : v_(Number::fromUnsignedLongLong(i)) {}
  Value(double d) : v_(Number::fromDouble(d)) {}
  Value(float f) : v_(Number::fromFloat(f)) {}
  Value(Number n) : v_(n) {}
  Value(Decimal d) : v_(d) {}
  Value(const char* s) : v_(std::string(s ? s : "")) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Data d) : v_(std::make_shared<const Data>(std::move(d))) {}
  Value(Date d) : v_(d) {}
  Value(Array a) : v_(std::make_shared<const Array>(std::move(a))) {}
  Value(Dictionary d);

  static Value null() { return Value(); }
  static Value data(const void* bytes, size_t n);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool isNull() const { return kind() == Kind::Null; }
  bool isBool() const { return kind() == Kind::Bool; }
  bool isNumber() const { return kind() == Kind::Number; }
  bool isDecimal() const { return kind() == Kind::Decimal; }
  // Bool, Number or Decimal: anything that answers the numeric accessors.
  bool isNumeric() const { return isBool() || isNumber() || isDecimal(); }
  bool isString() const { return kind() == Kind::String; }
  bool isData() const { return kind() == Kind::Data; }
  bool isDate() const { return kind() == Kind::Date; }
  bool isArray() const { return kind() == Kind::Array; }
  bool isDictionary() const { return kind() == Kind::Dictionary; }

  // Typed views; each answers a neutral value (false, empty, 0) for another
  // kind, as a message to nil would.
  bool boolValue() const;
  int intValue() const { return static_cast<int>(longLongValue()); }
  int64_t longLongValue() const;
  uint64_t unsignedLongLongValue() const;
  double doubleValue() const;
  // Bool reads as Number 'c'.
  Number number() const;
  const Decimal* decimal() const { return std::get_if<Decimal>(&v_); }
  const std::string& string() const;
  const Data& dataValue() const;
  Date date() const;
  const Array& array() const;
  const Dictionary& dictionary() const;

  // Mutable access to a container, copying it first if it is shared. A value
  // of another kind becomes an empty container of the asked kind.
  Array& mutableArray();
  Dictionary& mutableDictionary();

  // Dictionary lookup; the null value when absent or not a dictionary.
  const Value& operator[](std::string_view key) const;
  // Array element; the null value when out of range or not an array.
  const Value& operator[](size_t index) const;
  size_t count() const;  // elements of an array or dictionary, else 0

  // The platform class a value of this kind stands for, as messages name it
  // ("NSString", "NSNumber", "NSDate"...).
  const char* className() const;

  // What "%@" prints: the text itself for strings, "<null>" for null, the
  // number's digits, and the old property-list style for containers.
  std::string description() const;

  bool operator==(const Value& o) const;
  bool operator!=(const Value& o) const { return !(*this == o); }

private:
  void describe(std::string& out, int indent) const;
  std::variant<std::monostate, bool, Number, Decimal, std::string, std::shared_ptr<const Data>, Date,
               std::shared_ptr<const Array>, std::shared_ptr<const Dictionary>>
      v_;
};

// Text keys, kept in key order; a key appears once (a later set replaces).
class Dictionary {
public:
  using Entry = std::pair<std::string, Value>;
  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);
  // Takes entries in any order; of equal keys the later one wins.
  static Dictionary fromEntries(std::vector<Entry> entries);
  // Takes entries that are already in key order with no key twice (a parser
  // that sorted them itself) without sorting again; entries that turn out
  // not to be are put in order as fromEntries would.
  static Dictionary fromSortedEntries(std::vector<Entry> entries);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Value* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // The value for the key, or the null value.
  const Value& operator[](std::string_view key) const;
  void set(std::string key, Value value);
  bool remove(std::string_view key);
  void clear() { entries_.clear(); }

  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }
  const std::vector<Entry>& entries() const { return entries_; }

  bool operator==(const Dictionary& o) const;

private:
  // The readers' builder sorts its entries itself.
  friend class ValueBuilder;
  std::vector<Entry> entries_;
};

inline Value::Value(Dictionary d) : v_(std::make_shared<const Dictionary>(std::move(d))) {}

// Numbers of the readers and writers that keep decimals. A text reads as
// its Decimal when that gives the double the text names (no digit a double
// would hold is lost), else as that double: beyond the Decimal's range,
// denormals and negative zero included. Nothing when the text is no number
// or lies beyond every finite double.
std::optional<Value> decimalOrDouble(std::string_view text);
// The text of a finite double that decimalOrDouble reads back as exactly
// it: the Decimal's text when it holds the double, else the shortest text
// that does ("-0" for negative zero).
std::string decimalTextOfDouble(double x);

}  // namespace plat
