// The default sound device on Linux: the sound server through its own client library, and where
// no server answers, SDL2 (ALSA and the rest).
#pragma once

#include <memory>

#include "audio/device.h"

namespace audio {

// Says on standard error when it falls back to SDL2. Raises runtime::Error (kDeviceUnavailable)
// saying why neither opened, in one line.
std::unique_ptr<SoundDevice> OpenLinuxDevice(runtime::Dispatcher& dispatcher);

}  // namespace audio
