// Conversion of floating-point values to integers: nearest, ties to even, and the overflow error
// for anything outside the target's range (NaN included).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "runtime/error.h"

namespace runtime {

template <typename Int>
Int RoundToInt(double value) {
  static_assert(std::numeric_limits<Int>::is_integer && std::numeric_limits<Int>::is_signed);
  // The default floating-point environment rounds to nearest, ties to even.
  const double r = std::nearbyint(value);
  if (!(r >= static_cast<double>(std::numeric_limits<Int>::min()) &&
        r <= static_cast<double>(std::numeric_limits<Int>::max()))) {
    RaiseOverflow();
  }
  return static_cast<Int>(r);
}

inline int16_t CInt(double value) {
  return RoundToInt<int16_t>(value);
}
inline int32_t CLng(double value) {
  return RoundToInt<int32_t>(value);
}

}  // namespace runtime
