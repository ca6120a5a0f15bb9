// The numbers the window's input keeps to, and the values it starts with: for the window's logic
// and layout, and for kavrel-render, which reads its options the window's way.
#pragma once

#include <cstdint>

namespace dialer {

// The tone time in ms: Timer1 brings Text2 back within these. A rebuild applies at most the
// longest: beyond it the tone bank would not fit in memory.
inline constexpr int32_t kShortestToneTime = 20;
inline constexpr int32_t kLongestToneTime = 30000;

// The volume scroll bar's values: the loudest is 0 dB, and every kVolumeStepsPerDb further is one
// dB less, down to -50 dB at the quietest.
inline constexpr int16_t kLoudestVolume = 1;
inline constexpr int16_t kQuietestVolume = 5001;
inline constexpr int16_t kVolumeStepsPerDb = 100;

// Where no settings file says otherwise: an empty dial string, this tone time and this volume.
inline constexpr int32_t kInitialToneTime = 40;
inline constexpr int16_t kInitialVolume = 10;

}  // namespace dialer
