// The tone bank computed the plain way, two sines per sample per row (with the bank's own sine),
// to check the fast build against.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/slope_filter.h"

namespace testsupport {

std::vector<int16_t> ReferenceToneBank(float tone_duration, const synth::SlopeEnvelope& slope);

}  // namespace testsupport
