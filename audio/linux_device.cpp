#include "audio/linux_device.h"

#include <string>
#include <string_view>

#include "audio/pipewire/pipewire_device.h"
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

// The device `open` makes, or null with the reason it could not be opened added to `reasons`.
template <typename Open>
std::unique_ptr<SoundDevice> Try(Open&& open, std::string& reasons) {
  try {
    return open();
  } catch (const runtime::Error& e) {
    if (e.number() != runtime::kDeviceUnavailable) throw;
    reasons.append(reasons.empty() ? "" : "; ").append(Reason(e));
    return nullptr;
  }
}

}  // namespace

LinuxDevice OpenLinuxDevice(runtime::Dispatcher& dispatcher) {
  std::string servers;
  if (auto d = Try([&] { return std::make_unique<PipewireSoundDevice>(dispatcher); }, servers)) {
    return {std::move(d), {}};
  }
  if (auto d = Try([&] { return std::make_unique<PulseSoundDevice>(dispatcher); }, servers)) {
    return {std::move(d), {}};
  }
  std::string reasons = servers;
  auto device = Try([&] { return std::make_unique<SdlSoundDevice>(dispatcher); }, reasons);
  if (device == nullptr) throw runtime::Error(runtime::kDeviceUnavailable, kNoDevice + reasons);
  return {std::move(device), servers};
}

}  // namespace audio
