// The one format of the program's streams on PipeWire: 11025 Hz, mono, 16-bit. The graph
// converts to and from its own rate.
#pragma once

#include <spa/param/audio/format-utils.h>

#include <cstdint>

#include "synth/sample_rate.h"

namespace audio {

// The stream's EnumFormat parameter, built in `pod`.
inline const spa_pod* MonoStreamFormat(uint8_t (&pod)[256]) {
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
  spa_audio_info_raw format{};
  format.format = SPA_AUDIO_FORMAT_S16_LE;
  format.rate = synth::kSampleRate;
  format.channels = 1;
  format.position[0] = SPA_AUDIO_CHANNEL_MONO;
  return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format);
}

}  // namespace audio
