// The sound device as the output module sees it: a looping buffer with position notifications,
// a volume in hundredths of a decibel, writes at a byte offset, play and stop. Backends: a
// sample-clocked virtual device (tests, kavrel-render), PulseAudio and SDL2 (Linux) and
// DirectSound (Windows).
//
// The contract, which ContractBuffer (buffer_contract.h) checks for every device, so that a
// device may assume it:
// - a buffer holds 16-bit mono PCM at 11025 samples per second; its size is even, above 0 and at
//   most kMaxBufferBytes;
// - a write lies inside the buffer and is not empty;
// - a volume lies in kVolumeMin..0;
// - a notification offset lies inside the buffer, its event was made by the same device, and the
//   positions change only while the buffer is not playing.
// A call that breaks it raises runtime::Error (kInvalidCall) and changes nothing. Notifications
// reach their sink on the window's thread, through the dispatcher, never after the buffer that
// passed them has stopped, been renewed or gone. A device that goes away for good says so once,
// the same way (SoundDevice::WatchLoss).
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "runtime/dispatcher.h"
#include "runtime/error.h"
#include "synth/sample_rate.h"

namespace audio {

using EventHandle = int32_t;

inline constexpr uint32_t kCtrlVolume = 0x80;
inline constexpr uint32_t kCtrlPositionNotify = 0x100;
inline constexpr uint32_t kPlayLooping = 1;
inline constexpr int32_t kCooperativePriority = 2;
inline constexpr int32_t kVolumeMin = -10000;
inline constexpr uint32_t kMaxBufferBytes = 1u << 30;

struct WaveFormat {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t samples_per_sec = 0;
  uint32_t avg_bytes_per_sec = 0;
  uint16_t block_align = 0;
  uint16_t bits_per_sample = 0;
  uint16_t extra_size = 0;
};

struct BufferDesc {
  uint32_t flags = 0;
  uint32_t buffer_bytes = 0;
  WaveFormat format;
};

struct PositionNotify {
  int32_t offset = 0;  // byte offset whose passing signals the event
  EventHandle event = 0;
};

// The receiver of notifications (the window implements it).
class EventSink {
 public:
  virtual void DXCallBack(int32_t EventID) = 0;
  // The output's device went away (unplugged, its sound server gone, its playing stalled):
  // nothing it played is heard any more, and no notification comes from it again.
  virtual void DeviceLost() = 0;

 protected:
  ~EventSink() = default;
};

class SoundBuffer {
 public:
  virtual ~SoundBuffer() = default;
  // Each event is signalled every time the play position passes its offset, on every lap.
  virtual void SetNotificationPositions(std::span<const PositionNotify> positions) = 0;
  // 0 (full level) down to -10000; gain = 10^(volume / 2000).
  virtual void SetVolume(int32_t volume) = 0;
  virtual void WriteBuffer(int32_t start, int32_t size, const void* source) = 0;
  // Plays from the current position; with kPlayLooping it wraps until stopped.
  virtual void Play(uint32_t flags) = 0;
  // Halts at once; notifications not yet delivered are dropped.
  virtual void Stop() = 0;
  // Turns into a fresh buffer of the same description and notifications: stopped, play position
  // 0. Lets a reset reuse the buffer's memory instead of allocating per key press.
  virtual void Renew() = 0;
};

class SoundDevice {
 public:
  virtual ~SoundDevice() = default;
  virtual void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) = 0;
  // An event whose signals call sink.DXCallBack(event) through the dispatcher.
  virtual EventHandle CreateEvent(EventSink& sink) = 0;
  virtual std::unique_ptr<SoundBuffer> CreateSoundBuffer(const BufferDesc& desc) = 0;
  // Calls `lost` once, through the dispatcher, when the device goes away for good; never after
  // the device is destroyed. A Play or write that fails because the device is gone is reported
  // this way rather than raised.
  virtual void WatchLoss(std::function<void()> lost) = 0;
};

// How the description of a device's runtime::Error (kDeviceUnavailable) begins when it cannot
// be opened; the reason follows.
inline constexpr char kNoDevice[] = "No audio output device could be opened: ";

// Raises that error for a device of the given kind ("SDL2: ...").
[[noreturn]] inline void RaiseNoDevice(std::string_view kind, std::string_view reason) {
  throw runtime::Error(runtime::kDeviceUnavailable,
                       std::string(kNoDevice).append(kind).append(": ").append(reason));
}

// Opens the default output device; raises runtime::Error when there is none.
using DeviceFactory = std::function<std::unique_ptr<SoundDevice>()>;

inline double VolumeGain(int32_t volume) {
  return std::pow(10.0, volume / 2000.0);
}

// One sample through the volume: nearest, ties to even; full level leaves it unchanged.
inline int16_t ApplyGain(int16_t sample, double gain) {
  const double v = std::nearbyint(sample * gain);
  return static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
}

}  // namespace audio
