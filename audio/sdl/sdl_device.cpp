#include "audio/sdl/sdl_device.h"

#include <SDL.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "runtime/error.h"

namespace audio {
namespace {

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
class SdlBuffer final : public ContractBuffer {
 public:
  SdlBuffer(SdlSoundDevice& device, const BufferDesc& desc)
      : ContractBuffer(desc, device.events_),
        device_(device),
        bytes_(static_cast<size_t>(Bytes()), 0),
        fresh_(static_cast<size_t>(Bytes()) / 2, 0) {
    std::lock_guard lock(device_.mutex_);
    device_.buffers_.push_back(this);
  }

  ~SdlBuffer() override {
    std::lock_guard lock(device_.mutex_);
    auto& all = device_.buffers_;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
  }

  // Under the mutex: the buffer's size while it plays, else 0.
  int32_t PlayingBytes() const { return playing_ ? Bytes() : 0; }

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

      const int32_t from = position_;
      const int32_t to = from + 2;
      ForEachPassed(notifications_, size, from, to,
                    [this](const Notification& n) { device_.due_.push_back(Passed(n)); });
      position_ = to >= size ? 0 : to;
      if (position_ == 0 && !looping_) playing_ = false;
    }
  }

 private:
  bool Playing() const override {
    std::lock_guard lock(device_.mutex_);
    return playing_;
  }

  void ApplyNotifications(std::vector<Notification> notifications) override {
    std::lock_guard lock(device_.mutex_);
    notifications_.swap(notifications);
  }

  void ApplyVolume(int32_t volume) override {
    const double gain = VolumeGain(volume);
    std::lock_guard lock(device_.mutex_);
    gain_ = gain;
  }

  void Write(int32_t start, int32_t size, const void* source) override {
    std::lock_guard lock(device_.mutex_);
    std::memcpy(bytes_.data() + start, source, static_cast<size_t>(size));
    std::fill(fresh_.begin() + start / 2, fresh_.begin() + (start + size + 1) / 2, 1);
  }

  void Start(bool looping) override {
    std::lock_guard lock(device_.mutex_);
    playing_ = true;
    looping_ = looping;
    in_stale_ = false;
  }

  void Halt() override {
    std::lock_guard lock(device_.mutex_);
    playing_ = false;
  }

  void Clear() override {
    std::lock_guard lock(device_.mutex_);
    position_ = 0;
    gain_ = 1.0;
    std::fill(bytes_.begin(), bytes_.end(), 0);
    std::fill(fresh_.begin(), fresh_.end(), 0);
  }

  SdlSoundDevice& device_;
  std::vector<uint8_t> bytes_;
  // Per sample: written since it last played.
  std::vector<uint8_t> fresh_;
  std::vector<Notification> notifications_;
  double gain_ = 1.0;
  bool playing_ = false;
  bool looping_ = false;
  bool in_stale_ = false;
  int32_t position_ = 0;
};

SdlSoundDevice::SdlSoundDevice(runtime::Dispatcher& dispatcher) : dispatcher_(dispatcher) {
  // The program owns its signals; SDL must not take over SIGINT and SIGTERM.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) NoDevice(SDL_GetError());
  SDL_AudioSpec want{};
  want.freq = 11025;
  want.format = AUDIO_S16SYS;
  want.channels = 1;
  // Small pulls: a notification 330 samples before a half must reach the window, and the window's
  // write land, before the callback gets there. The pull is also all the buffering SDL asks of
  // the sound server (PulseAudio: 11.6 ms, refilled every 2.9 ms), and with this thread
  // real-time it played without a gap beside busy programs; 64 frames did not.
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
  watchdog_ = std::thread([this] { Watch(); });
}

SdlSoundDevice::~SdlSoundDevice() {
  {
    std::lock_guard lock(watch_mutex_);
    watch_quit_ = true;
  }
  watch_wake_.notify_one();
  watchdog_.join();
  SDL_CloseAudioDevice(device_id_);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

// SDL output is not tied to a window: any window may use it.
void SdlSoundDevice::SetCooperativeLevel(runtime::WindowHandle, int32_t) {}

// The callback never reads the events: a buffer's notifications carry their sinks.
EventHandle SdlSoundDevice::CreateEvent(EventSink& sink) {
  return events_.Add(sink);
}

std::unique_ptr<SoundBuffer> SdlSoundDevice::CreateSoundBuffer(const BufferDesc& desc) {
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
  for (PassedNotification& passed : due_) {
    dispatcher_.Post([passed = std::move(passed)] { passed.Deliver(); });
  }
}

// SDL stops a device whose sound server has gone (and calls back on, with nothing heard); a server
// that hangs just stops the callbacks.
void SdlSoundDevice::Watch() {
  using Clock = std::chrono::steady_clock;
  int64_t seen = -1;
  Clock::time_point moved = Clock::now();
  std::unique_lock wait_lock(watch_mutex_);
  while (!watch_wake_.wait_for(wait_lock, std::chrono::milliseconds(20),
                               [this] { return watch_quit_; })) {
    int64_t callbacks = 0;
    int32_t playing_bytes = 0;
    {
      std::lock_guard lock(mutex_);
      callbacks = stats_.callbacks;
      for (const SdlBuffer* b : buffers_)
        playing_bytes = std::max(playing_bytes, b->PlayingBytes());
    }
    const Clock::time_point now = Clock::now();
    if (callbacks != seen) {
      seen = callbacks;
      moved = now;
    }
    // A playing buffer of N bytes holds N / 2 samples: two half-buffers.
    const auto two_halves =
        std::chrono::microseconds(int64_t{playing_bytes} / 2 * 1000000 / kSampleRate);
    const bool stalled = playing_bytes > 0 && now - moved > two_halves;
    if (stalled || SDL_GetAudioDeviceStatus(device_id_) != SDL_AUDIO_PLAYING) {
      loss_.Raise();
      return;
    }
  }
}

std::unique_ptr<SoundDevice> OpenSdlDevice(runtime::Dispatcher& dispatcher) {
  return std::make_unique<SdlSoundDevice>(dispatcher);
}

}  // namespace audio
