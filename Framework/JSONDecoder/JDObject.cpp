#include "Framework/JSONDecoder/JDObject.h"

#include <cstring>
#include <random>

JDRef JDString::make(std::string_view utf8) {
  if (utf8.empty()) return empty();
  return std::make_shared<JDString>(utf8);
}

const JDRef& JDString::empty() {
  static const JDRef e = std::make_shared<JDString>(std::string_view());
  return e;
}

namespace {
// Seeded once per process, so that a document cannot pick keys that all fall
// on one run of a dictionary's table.
uint64_t hashSeed() {
  static const uint64_t seed = [] {
    std::random_device rd;
    return (uint64_t(rd()) << 32) ^ rd();
  }();
  return seed;
}
}  // namespace

uint64_t JDString::hashOf(std::string_view s) {
  uint64_t h = 0xcbf29ce484222325ULL ^ hashSeed();  // FNV-1a
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

bool JDString::isEqual(const JDObject& other) const {
  return other.kind() == Kind::String && static_cast<const JDString&>(other).value_ == value_;
}

uint64_t JDNumber::hash() const {
  // Equal numbers of different kinds hash alike: integral values by value.
  if (!value_.isFloating()) return value_.unsignedLongLongValue();
  double d = value_.doubleValue();
  if (d > -9.0e18 && d < 9.0e18 && d == static_cast<double>(static_cast<int64_t>(d)))
    return static_cast<uint64_t>(static_cast<int64_t>(d));
  if (d == 0) d = 0;  // -0 and 0 are equal
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

bool JDNumber::isEqual(const JDObject& other) const {
  if (other.kind() != Kind::Number) return false;
  return static_cast<const JDNumber&>(other).value_ == value_;
}

const JDRef& JDBoolean::trueValue() {
  static const JDRef t = std::make_shared<JDBoolean>(true);
  return t;
}

const JDRef& JDBoolean::falseValue() {
  static const JDRef f = std::make_shared<JDBoolean>(false);
  return f;
}

const JDRef& JDNull::null() {
  static const JDRef n = std::make_shared<JDNull>();
  return n;
}
