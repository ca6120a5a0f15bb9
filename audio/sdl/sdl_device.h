// A sound device on SDL2, for Linux machines without a PulseAudio-protocol sound server. One SDL
// audio device runs for the whole life of this object, pulling 128 frames at a time at 11025 Hz
// mono 16-bit (SDL converts when the hardware wants another format); the callback mixes every
// playing buffer (LoopMixer), so the window never sees the audio thread. A watchdog thread
// reports the device lost when SDL says it was removed, or when the callback has stalled while a
// buffer plays (StallWatch).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "audio/buffer_contract.h"
#include "audio/device.h"
#include "audio/loop_mixer.h"

namespace audio {

class SdlSoundDevice final : public SoundDevice {
 public:
  static constexpr int32_t kCallbackFrames = 128;

  // Opens the default output; raises runtime::Error when no audio device can be opened. The
  // dispatcher must outlive the device, and every buffer must be released before the device.
  explicit SdlSoundDevice(runtime::Dispatcher& dispatcher);
  ~SdlSoundDevice() override;
  SdlSoundDevice(const SdlSoundDevice&) = delete;
  SdlSoundDevice& operator=(const SdlSoundDevice&) = delete;

  void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) override;
  EventHandle CreateEvent(EventSink& sink) override;
  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const BufferDesc& desc) override;
  void WatchLoss(std::function<void()> lost) override { loss_.Watch(std::move(lost)); }

  // SDL cannot tell when the server behind it played silence for want of samples: only the
  // mixer's own counts.
  MixStats Stats() const { return mixer_.Stats(); }

 private:
  static void Callback(void* self, uint8_t* stream, int len);

  EventTable events_;  // the window's thread only
  LoopMixer mixer_;
  LossReport loss_;
  uint32_t device_id_ = 0;
  bool callback_scheduled_ = false;  // the callback's thread only
  std::optional<StallWatch> watch_;
};

}  // namespace audio
