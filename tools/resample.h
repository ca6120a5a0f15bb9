// The dialer's samples at another rate. Linux resamples with libsoxr; the Windows builds have no
// resampling library and keep to the dialer's own rate.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tools {

// Whether this build can resample at all.
extern const bool kCanResample;

// Resamples `in` from `from` to `to` Hz into `out` (no dither, rounded and clipped to 16 bits).
// Returns an empty string on success, else what failed.
std::string Resample(std::span<const int16_t> in, int32_t from, int32_t to,
                     std::vector<int16_t>& out);

}  // namespace tools
