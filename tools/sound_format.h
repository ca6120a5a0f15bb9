// The sample encodings kavrel-render writes and its checker reads.
#pragma once

#include <cstdint>

#include "synth/sample_rate.h"

namespace tools {

enum class Encoding { kPcm16, kMuLaw, kALaw };

// What a file holds: the sample rate and how each sample is stored. The defaults are the
// dialer's own sound.
struct SoundFormat {
  int32_t rate = synth::kSampleRate;
  Encoding encoding = Encoding::kPcm16;
};

}  // namespace tools
