#include "audio/sdl/sdl_device.h"

#include <SDL.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "runtime/error.h"

namespace audio {
namespace {

[[noreturn]] void InvalidCall(const std::string& what) {
  throw runtime::Error(runtime::kInvalidCall, "Sound buffer: " + what);
}

[[noreturn]] void NoDevice(const std::string& reason) {
  throw runtime::Error(runtime::kDeviceUnavailable,
                       "No audio output device could be opened: " + reason);
}

// Asks for real-time scheduling for the calling thread. Measured here: with the audio thread at
// SDL's raised normal priority, busy programs in other sessions delayed it into audible gaps;
// real-time it held. Where the system refuses, the thread keeps the priority it had.
void RaiseToRealTime() {
  sched_param param{};
  param.sched_priority = std::min(5, sched_get_priority_max(SCHED_RR));
  pthread_setschedparam(pthread_self(), SCHED_RR, &param);
}

}  // namespace

PriorityInheritingMutex::PriorityInheritingMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // Where the system has no priority inheritance this is a plain mutex.
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

PriorityInheritingMutex::~PriorityInheritingMutex() {
  pthread_mutex_destroy(&mutex_);
}

// Locking a valid mutex that the caller does not hold cannot fail; carrying on unlocked could.
void PriorityInheritingMutex::lock() {
  if (pthread_mutex_lock(&mutex_) != 0) std::terminate();
}

void PriorityInheritingMutex::unlock() {
  pthread_mutex_unlock(&mutex_);
}

// All state the callback reads is guarded by the device's mutex; the window thread takes it for
// each change and the callback once per pull.
class SdlBuffer final : public SoundBuffer {
 public:
  SdlBuffer(SdlSoundDevice& device, const BufferDesc& desc)
      : device_(device), bytes_(desc.buffer_bytes, 0), fresh_(desc.buffer_bytes / 2, 0) {
    std::lock_guard lock(device_.mutex_);
    device_.buffers_.push_back(this);
  }

  ~SdlBuffer() override {
    std::lock_guard lock(device_.mutex_);
    auto& all = device_.buffers_;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
  }

  void SetNotificationPositions(std::span<const PositionNotify> positions) override {
    for (const PositionNotify& p : positions) {
      if (p.offset < 0 || static_cast<size_t>(p.offset) >= bytes_.size()) {
        InvalidCall("notification offset " + std::to_string(p.offset) + " outside the buffer");
      }
    }
    std::lock_guard lock(device_.mutex_);
    if (playing_) InvalidCall("notifications cannot change while playing");
    notifications_.assign(positions.begin(), positions.end());
  }

  void SetVolume(int32_t volume) override {
    if (volume > 0 || volume < kVolumeMin) InvalidCall("volume " + std::to_string(volume));
    const double gain = VolumeGain(volume);
    std::lock_guard lock(device_.mutex_);
    gain_ = gain;
  }

  void WriteBuffer(int32_t start, int32_t size, const void* source) override {
    if (start < 0 || size < 0 || static_cast<uint64_t>(start) + size > bytes_.size()) {
      InvalidCall("write of " + std::to_string(size) + " bytes at " + std::to_string(start));
    }
    std::lock_guard lock(device_.mutex_);
    std::memcpy(bytes_.data() + start, source, static_cast<size_t>(size));
    std::fill(fresh_.begin() + start / 2, fresh_.begin() + (start + size + 1) / 2, 1);
  }

  void Play(uint32_t flags) override {
    std::lock_guard lock(device_.mutex_);
    playing_ = true;
    looping_ = (flags & kPlayLooping) != 0;
    in_stale_ = false;
  }

  void Stop() override {
    std::lock_guard lock(device_.mutex_);
    Halt();
  }

  void Renew() override {
    std::lock_guard lock(device_.mutex_);
    Halt();
    position_ = 0;
    gain_ = 1.0;
    std::fill(bytes_.begin(), bytes_.end(), 0);
    std::fill(fresh_.begin(), fresh_.end(), 0);
  }

  // Adds this buffer's next samples into out and moves the play position on. Under the mutex.
  void MixInto(int16_t* out, int frames) {
    const int32_t size = static_cast<int32_t>(bytes_.size());
    for (int i = 0; i < frames && playing_; ++i) {
      uint8_t& fresh = fresh_[position_ / 2];
      if (!fresh && !in_stale_) ++device_.stats_.underruns;
      in_stale_ = !fresh;
      fresh = 0;
      const auto sample = static_cast<int16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
      const int32_t mixed = out[i] + ApplyGain(sample, gain_);
      out[i] = static_cast<int16_t>(std::clamp(mixed, -32768, 32767));

      // An offset fires on the step that moves the position onto or past it; offset 0 on the
      // wrap from the last sample.
      const int32_t from = position_;
      const int32_t to = from + 2;
      for (const PositionNotify& n : notifications_) {
        const int32_t target = n.offset == 0 ? size : n.offset;
        if (from < target && target <= to) device_.Passed(*this, n.event);
      }
      position_ = to >= size ? 0 : to;
      if (position_ == 0 && !looping_) playing_ = false;
    }
  }

  const std::shared_ptr<std::atomic<uint64_t>>& generation() const { return generation_; }

 private:
  // Stops, and makes every notification already posted stale.
  void Halt() {
    playing_ = false;
    ++*generation_;
  }

  SdlSoundDevice& device_;
  std::vector<uint8_t> bytes_;
  // Per sample: written since it last played.
  std::vector<uint8_t> fresh_;
  std::vector<PositionNotify> notifications_;
  double gain_ = 1.0;
  bool playing_ = false;
  bool looping_ = false;
  bool in_stale_ = false;
  int32_t position_ = 0;
  std::shared_ptr<std::atomic<uint64_t>> generation_ = std::make_shared<std::atomic<uint64_t>>(0);
};

SdlSoundDevice::SdlSoundDevice(runtime::Dispatcher& dispatcher) : dispatcher_(dispatcher) {
  // The program owns its signals; SDL must not take over SIGINT and SIGTERM.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  // SDL asks PulseAudio for a server buffer of one pull (11.6 ms, refilled every 2.9 ms), which
  // breaks into audible gaps as soon as the machine is busy; 40 ms held through the same load.
  // The pulls stay 128 frames. A latency the user chose wins.
  setenv("PULSE_LATENCY_MSEC", "40", 0);
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) NoDevice(SDL_GetError());
  SDL_AudioSpec want{};
  want.freq = 11025;
  want.format = AUDIO_S16SYS;
  want.channels = 1;
  // Small pulls: a notification 330 samples before a half must reach the window, and the window's
  // write land, before the callback gets there.
  want.samples = kCallbackFrames;
  want.callback = &SdlSoundDevice::Callback;
  want.userdata = this;
  SDL_AudioSpec have{};
  // No changes allowed: SDL converts to whatever the hardware takes.
  device_id_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (device_id_ == 0) {
    const std::string reason = SDL_GetError();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    NoDevice(reason);
  }
  // It runs for the whole life of the device; a buffer that is not playing gives silence.
  SDL_PauseAudioDevice(device_id_, 0);
}

SdlSoundDevice::~SdlSoundDevice() {
  SDL_CloseAudioDevice(device_id_);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

// SDL output is not tied to a window: any window may use it.
void SdlSoundDevice::SetCooperativeLevel(runtime::WindowHandle, int32_t) {}

EventHandle SdlSoundDevice::CreateEvent(EventSink& sink) {
  std::lock_guard lock(mutex_);
  sinks_.push_back(&sink);
  return static_cast<EventHandle>(sinks_.size());
}

std::unique_ptr<SoundBuffer> SdlSoundDevice::CreateSoundBuffer(const BufferDesc& desc) {
  const WaveFormat& f = desc.format;
  if (f.format_tag != 1 || f.channels != 1 || f.bits_per_sample != 16 || f.block_align != 2 ||
      f.samples_per_sec != 11025) {
    InvalidCall("only 16-bit mono PCM at 11025 samples per second is supported");
  }
  if (desc.buffer_bytes == 0 || desc.buffer_bytes % 2 != 0 || desc.buffer_bytes > (1u << 30)) {
    InvalidCall("invalid buffer size " + std::to_string(desc.buffer_bytes));
  }
  return std::make_unique<SdlBuffer>(*this, desc);
}

SdlPlaybackStats SdlSoundDevice::Stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

void SdlSoundDevice::Callback(void* self, uint8_t* stream, int len) {
  auto* device = static_cast<SdlSoundDevice*>(self);
  if (!device->callback_scheduled_) {
    device->callback_scheduled_ = true;
    RaiseToRealTime();
  }
  device->Render(reinterpret_cast<int16_t*>(stream), len / 2);
}

void SdlSoundDevice::Render(int16_t* out, int frames) {
  std::fill(out, out + frames, int16_t{0});
  due_.clear();
  {
    std::lock_guard lock(mutex_);
    for (SdlBuffer* b : buffers_) b->MixInto(out, frames);
    ++stats_.callbacks;
    stats_.frames += frames;
  }
  // Posted outside the lock so that the dispatcher's own lock is never taken inside ours.
  for (Due& d : due_) {
    dispatcher_.Post([generation = std::move(d.generation), current = d.current, sink = d.sink,
                      event = d.event] {
      const auto alive = generation.lock();
      if (alive && *alive == current) sink->DXCallBack(event);
    });
  }
}

void SdlSoundDevice::Passed(const SdlBuffer& buffer, EventHandle event) {
  if (event < 1 || event > static_cast<EventHandle>(sinks_.size())) return;
  due_.push_back({buffer.generation(), buffer.generation()->load(), sinks_[event - 1], event});
}

std::unique_ptr<SoundDevice> OpenSdlDevice(runtime::Dispatcher& dispatcher) {
  return std::make_unique<SdlSoundDevice>(dispatcher);
}

}  // namespace audio
