// The one sample rate of the program: the tones are computed at it, and every sound device plays
// 16-bit mono samples at it.
#pragma once

#include <cstdint>

namespace synth {

inline constexpr int32_t kSampleRate = 11025;

}  // namespace synth
