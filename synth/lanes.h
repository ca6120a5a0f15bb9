// Four doubles side by side, in the vector extensions of GCC and Clang: each operation rounds
// every lane exactly as the same scalar code would, on any target (two SSE2 halves on a plain x86
// build), so the bits do not depend on the machine. A cast between two of these types of the same
// size keeps the bits.
#pragma once

#include <cstdint>

namespace synth {

inline constexpr int kLanes = 4;
typedef double Lanes __attribute__((vector_size(8 * kLanes)));
typedef uint64_t LaneBits __attribute__((vector_size(8 * kLanes)));
typedef int64_t LaneInts __attribute__((vector_size(8 * kLanes)));
typedef int16_t LaneSamples __attribute__((vector_size(2 * kLanes)));

}  // namespace synth
