// The default sound device on Linux: the sound server through its own client library, and where
// no server answers, SDL2 (ALSA and the rest).
#pragma once

#include <memory>
#include <string>

#include "audio/device.h"

namespace audio {

struct LinuxDevice {
  std::unique_ptr<SoundDevice> device;
  // Why no sound server answered, where SDL2 plays instead; empty where a server did.
  std::string no_server;
};

// Tries PipeWire, then a PulseAudio server, then SDL2. Raises runtime::Error
// (kDeviceUnavailable) saying why none opened, in one line.
LinuxDevice OpenLinuxDevice(runtime::Dispatcher& dispatcher);

}  // namespace audio
