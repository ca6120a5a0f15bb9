#include "audio/sdl/sdl_device.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "runtime/error.h"

namespace audio {
namespace {

// The pacing thread's step: it wakes this often and mixes at most one and a half steps' worth, so
// the play position never runs ahead of real time by more than half again (a notification then
// still comes at least 20 ms before its half plays).
constexpr auto kTick = std::chrono::milliseconds(5);
constexpr int64_t kStep = synth::kSampleRate * 5 / 1000 * 3 / 2;

}  // namespace

SdlSoundDevice::SdlSoundDevice(runtime::Dispatcher& dispatcher, SdlBuffering buffering)
    : buffering_(buffering),
      mixer_(dispatcher, [this] { BringForward(); }),
      loss_(dispatcher),
      ring_(4 * (buffering.period + buffering.margin)) {
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
  // The queue starts full (of silence): SDL's first period must not find it short.
  {
    std::lock_guard lock(queue_mutex_);
    MixOnto(buffering_.period + buffering_.margin);
  }
  pacer_ = std::thread([this] { Pace(); });
  // It runs for the whole life of the device; a buffer that is not playing gives silence.
  SDL_PauseAudioDevice(device_id_, 0);
  // SDL stops a device whose sound server has gone (and calls back on, with nothing heard); a
  // server that hangs stops taking samples, and so the pacing thread stops mixing.
  watch_.emplace(mixer_, loss_,
                 [this] { return SDL_GetAudioDeviceStatus(device_id_) != SDL_AUDIO_PLAYING; });
}

SdlSoundDevice::~SdlSoundDevice() {
  watch_.reset();
  SDL_CloseAudioDevice(device_id_);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  {
    std::lock_guard lock(pace_mutex_);
    quit_ = true;
  }
  pace_wake_.notify_one();
  pacer_.join();
}

// SDL output is not tied to a window: any window may use it.
void SdlSoundDevice::SetCooperativeLevel(runtime::WindowHandle, int32_t) {}

// Neither thread reads the events: a buffer's notifications carry their sinks.
EventHandle SdlSoundDevice::CreateEvent(EventSink& sink) {
  return events_.Add(sink);
}

std::unique_ptr<SoundBuffer> SdlSoundDevice::CreateSoundBuffer(const BufferDesc& desc) {
  return mixer_.CreateBuffer(desc, events_);
}

SdlStats SdlSoundDevice::Stats() const {
  return {mixer_.Stats(), holes_, brought_forward_};
}

void SdlSoundDevice::Pace() {
  RaiseToRealTime();
  const auto depth = static_cast<int64_t>(buffering_.period + buffering_.margin);
  auto next = std::chrono::steady_clock::now();
  std::unique_lock wait_lock(pace_mutex_);
  while (!pace_wake_.wait_until(wait_lock, next += kTick, [this] { return quit_; })) {
    // After the thread was held up, it goes on from now rather than mixing the time lost at once.
    next = std::max(next, std::chrono::steady_clock::now() - kTick);
    std::lock_guard lock(queue_mutex_);
    const int64_t missing = depth - static_cast<int64_t>(queued_);
    if (missing > 0) MixOnto(std::min(missing, kStep));
  }
}

void SdlSoundDevice::MixOnto(int64_t frames) {
  mixed_.resize(static_cast<size_t>(frames));
  const int idle = mixer_.Render(mixed_.data(), static_cast<int>(frames));
  idle_tail_ = idle == frames ? idle_tail_ + idle : idle;
  size_t at = (read_ + queued_) % ring_.size();
  for (const int16_t sample : mixed_) {
    ring_[at] = sample;
    at = at + 1 == ring_.size() ? 0 : at + 1;
  }
  queued_ += mixed_.size();
}

void SdlSoundDevice::Callback(void* self, uint8_t* stream, int len) {
  auto* device = static_cast<SdlSoundDevice*>(self);
  if (!device->callback_scheduled_) {
    device->callback_scheduled_ = true;
    RaiseToRealTime();
  }
  auto* out = reinterpret_cast<int16_t*>(stream);
  const auto frames = static_cast<size_t>(len / 2);
  std::lock_guard lock(device->queue_mutex_);
  const size_t taken = std::min(frames, device->queued_);
  for (size_t i = 0; i < taken; ++i) {
    out[i] = device->ring_[device->read_];
    device->read_ = device->read_ + 1 == device->ring_.size() ? 0 : device->read_ + 1;
  }
  device->queued_ -= taken;
  device->idle_tail_ = std::min(device->idle_tail_, static_cast<int64_t>(device->queued_));
  if (taken < frames) {
    std::fill(out + taken, out + frames, int16_t{0});
    if (device->mixer_.Playing()) ++device->holes_;
  }
}

// The queue's end is the silence mixed while no buffer played: the start replaces it, from as
// early as it can, and nothing a buffer played before (a stopped tone plays out its pause, so the
// pause before the new one is never shorter than the window's own). It mixes no further at once
// than one step past the buffer's first notification: the window then has the lead it has while
// the queue is kept up step by step.
void SdlSoundDevice::BringForward() {
  const int64_t to_notification = mixer_.SamplesToNextStop(true);
  std::lock_guard lock(queue_mutex_);
  int64_t frames = std::min(idle_tail_, static_cast<int64_t>(queued_));
  if (to_notification != LoopMixer::kNever) frames = std::min(frames, to_notification + kStep);
  if (frames <= 0) return;
  queued_ -= static_cast<size_t>(frames);
  idle_tail_ -= frames;
  MixOnto(frames);
  ++brought_forward_;
}

}  // namespace audio
