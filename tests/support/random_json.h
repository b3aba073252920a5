// Random JSON documents for round-trip tests of the writers and readers:
// every kind the codecs carry, strings with escapes, control characters,
// non-ASCII and astral characters, integers across the 64-bit range and
// finite doubles across theirs. A fixed seed makes a failure repeatable.
#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/foundation/text_codec.h"
#include "platform/foundation/value.h"

namespace testsupport {

// Numbers that every writer and its reader carry exactly: doubles whose
// text needs an exponent past the decimal range, denormals, both zeros,
// and the ends of the 64-bit integers.
inline std::vector<double> edgeDoubles() {
  return {0.0, -0.0, 1e308, -1e308, DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN,
          2.2250738585072009e-308, 1e-130, 1.5e-300, 123456789.123456789, 0.1, 1e22, 9007199254740993.0, 5e-324 * 7};
}
inline std::vector<int64_t> edgeIntegers() {
  return {0, 1, -1, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1, int64_t{1} << 53, (int64_t{1} << 53) + 1};
}

class RandomJSON {
public:
  struct Options {
    bool doubles = true;   // off for codecs that read numbers as decimals
    bool booleans = true;
    int maxDepth = 6;
  };
  explicit RandomJSON(uint32_t seed) : rng_(seed) {}
  RandomJSON(uint32_t seed, Options o) : rng_(seed), options_(o) {}

  plat::Value document() { return pick(2) == 0 ? array(0) : dictionary(0); }

  std::string string() {
    std::string s;
    int n = pick(12);
    for (int i = 0; i < n; ++i) plat::appendUTF8(s, codePoint());
    return s;
  }

private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  plat::Value value(int depth) {
    int k = pick(depth >= options_.maxDepth ? 5 : 7);
    switch (k) {
      case 0: return plat::Value();
      case 1: return options_.booleans ? plat::Value(pick(2) == 1) : plat::Value(pick(100));
      case 2: return integer();
      case 3: return options_.doubles ? plat::Value(real()) : integer();
      case 4: return plat::Value(string());
      case 5: return array(depth + 1);
      default: return dictionary(depth + 1);
    }
  }
  plat::Value array(int depth) {
    plat::Array a;
    int n = pick(6);
    for (int i = 0; i < n; ++i) a.push_back(value(depth));
    return plat::Value(std::move(a));
  }
  plat::Value dictionary(int depth) {
    plat::Dictionary d;
    int n = pick(6);
    for (int i = 0; i < n; ++i) d.set(string(), value(depth));
    return plat::Value(std::move(d));
  }
  plat::Value integer() {
    switch (pick(4)) {
      case 0: return plat::Value(pick(10));
      case 1: return plat::Value(pick(2000001) - 1000000);
      case 2: return plat::Value(static_cast<long long>((static_cast<uint64_t>(rng_()) << 32) ^ rng_()));
      default: return plat::Value(pick(2) ? INT64_MIN : INT64_MAX);
    }
  }
  // Finite doubles from the whole range: any bit pattern, the ends of the
  // range, denormals and both zeros besides everyday values.
  double real() {
    static const double specials[] = {0.0, -0.0, DBL_MAX, -DBL_MAX, DBL_MIN, -DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN,
                                      1e308, -1e308, 2.2250738585072009e-308, 1e-130, 5e-324 * 3};
    switch (pick(5)) {
      case 0: return (pick(2000001) - 1000000) / 997.0;
      case 1: return std::ldexp((pick(2000001) - 1000000) / 1e6, pick(600) - 300);
      case 2: {
        double d = std::bit_cast<double>((static_cast<uint64_t>(rng_()) << 32) ^ rng_());
        return std::isfinite(d) ? d : DBL_MAX;
      }
      case 3: return specials[pick(sizeof specials / sizeof specials[0])];
      default: return pick(100) / 8.0;
    }
  }
  uint32_t codePoint() {
    static const uint32_t specials[] = {'"', '\\', '/', '\b', '\f', '\n', '\r', '\t', 0x01, 0x1F, 0x7F, ' '};
    switch (pick(6)) {
      case 0: return specials[pick(sizeof specials / sizeof specials[0])];
      case 1: return 0x80 + pick(0x780);                // two bytes
      case 2: {
        uint32_t c = 0x800 + pick(0xF800 - 0x800);      // three bytes, no surrogates
        if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;
        if (c >= 0xFDD0 && c <= 0xFDEF) c = 0x4E2D;     // noncharacters: one Chinese character instead
        return c;
      }
      case 3: return 0x10000 + pick(0x1000);            // astral
      default: return 'a' + pick(26);
    }
  }
  std::mt19937 rng_;
  Options options_;
};

}  // namespace testsupport
