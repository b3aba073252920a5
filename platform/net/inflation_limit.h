// How far a compressed response body may inflate before it is refused. Text
// and JSON inflate five to twenty times; a crafted body (zeros) a thousand
// times, so 10 MiB on the wire would become 10 GiB. The default allows a
// generous multiple of the bytes that came, with room for small bodies.
#pragma once

#include <cstdint>

namespace plat {

inline constexpr uint64_t kDefaultInflationRatio = 100;
inline constexpr uint64_t kInflationAllowance = uint64_t{1} << 20;

// The most inflated bytes `wireBytes` compressed ones may give.
inline uint64_t inflationLimit(uint64_t wireBytes, uint64_t ratio = kDefaultInflationRatio) {
  if (ratio != 0 && wireBytes > (UINT64_MAX - kInflationAllowance) / ratio) return UINT64_MAX;
  return wireBytes * ratio + kInflationAllowance;
}

}  // namespace plat
