// Tests only: pseudo-random bytes of a given length from a seed, the same
// for the same seed, for contents that neither compress nor repeat.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace testsupport {

inline std::string noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i + 4 <= n; i += 4) {
    const uint32_t v = rng();
    std::memcpy(&s[i], &v, 4);
  }
  for (size_t i = n & ~size_t{3}; i < n; ++i) s[i] = static_cast<char>(rng());
  return s;
}

}  // namespace testsupport
