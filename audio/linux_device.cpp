#include "audio/linux_device.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "audio/pulse/pulse_device.h"
#include "audio/sdl/sdl_device.h"
#include "runtime/error.h"

namespace audio {
namespace {

std::string Reason(const runtime::Error& e) {
  std::string d = e.description();
  if (d.starts_with(kNoDevice)) d.erase(0, std::string_view(kNoDevice).size());
  return d;
}

}  // namespace

std::unique_ptr<SoundDevice> OpenLinuxDevice(runtime::Dispatcher& dispatcher) {
  std::string server;
  try {
    return std::make_unique<PulseSoundDevice>(dispatcher);
  } catch (const runtime::Error& e) {
    if (e.number() != runtime::kDeviceUnavailable) throw;
    server = Reason(e);
  }
  try {
    auto device = std::make_unique<SdlSoundDevice>(dispatcher);
    std::fprintf(stderr, "kavrel: no sound server (%s); playing through SDL2\n", server.c_str());
    return device;
  } catch (const runtime::Error& e) {
    if (e.number() != runtime::kDeviceUnavailable) throw;
    throw runtime::Error(runtime::kDeviceUnavailable,
                         std::string(kNoDevice) + server + "; " + Reason(e));
  }
}

}  // namespace audio
