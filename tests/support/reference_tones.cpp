#include "tests/support/reference_tones.h"

#include "synth/sine.h"

namespace testsupport {

std::vector<int16_t> ReferenceToneBank(float tone_duration, const synth::SlopeEnvelope& slope) {
  return PlainToneBank(tone_duration, slope, synth::Sine);
}

}  // namespace testsupport
