#include "audio/sdl/sdl_device.h"

#include <SDL.h>

#include <string>

#include "runtime/error.h"

namespace audio {
SdlSoundDevice::SdlSoundDevice(runtime::Dispatcher& dispatcher, SdlBuffering buffering)
    : MixingDevice(dispatcher,
                   [this] {
                     if (queue_.BringForward()) ++brought_forward_;
                   }),
      buffering_(buffering),
      queue_(mixer_, buffering.period + buffering.margin) {
  // The program owns its signals; SDL must not take over SIGINT and SIGTERM.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) RaiseNoDevice("SDL2", SDL_GetError());
  SDL_AudioSpec want{};
  want.freq = synth::kSampleRate;
  want.format = AUDIO_S16SYS;
  want.channels = 1;
  want.samples = static_cast<Uint16>(buffering_.period);
  want.callback = &SdlSoundDevice::Callback;
  want.userdata = this;
  SDL_AudioSpec have{};
  // No changes allowed: SDL converts to whatever the hardware takes.
  device_id_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (device_id_ == 0) {
    const std::string reason = SDL_GetError();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    RaiseNoDevice("SDL2", reason);
  }
  queue_.Start();
  // It runs for the whole life of the device; a buffer that is not playing gives silence.
  SDL_PauseAudioDevice(device_id_, 0);
  // SDL stops a device whose sound server has gone (and calls back on, with nothing heard); a
  // server that hangs stops taking samples, and so the pacing thread stops mixing.
  StartWatching([this] { return SDL_GetAudioDeviceStatus(device_id_) != SDL_AUDIO_PLAYING; });
}

SdlSoundDevice::~SdlSoundDevice() {
  StopWatching();
  SDL_CloseAudioDevice(device_id_);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

SdlStats SdlSoundDevice::Stats() const {
  return {mixer_.Stats(), holes_, brought_forward_};
}

void SdlSoundDevice::Callback(void* self, uint8_t* stream, int len) {
  auto* device = static_cast<SdlSoundDevice*>(self);
  if (!device->callback_scheduled_) {
    device->callback_scheduled_ = true;
    RaiseToRealTime();
  }
  const size_t short_by =
      device->queue_.Take(reinterpret_cast<int16_t*>(stream), static_cast<size_t>(len / 2));
  if (short_by > 0 && device->mixer_.Playing()) ++device->holes_;
}

}  // namespace audio
