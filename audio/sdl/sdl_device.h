// A sound device on SDL2, for Linux machines without a sound server. SDL hands its output over a
// period at a time, and that period is all the buffering it keeps at a server or sound card: 128
// frames (11.6 ms) ran dry on a loaded machine, and a period longer than the 330 samples by which
// a notification comes before a half's end would mix past it, into the half the window has not
// written yet. So the two are apart: a PacedQueue two periods deep lies between the mixer and
// SDL's callback, which takes whole periods from it. The callback finding the queue short of a
// period while a buffer plays is a hole, counted; what SDL does further on it cannot tell.
//
// A watchdog thread reports the device lost when SDL says it was removed, or when SDL has stopped
// taking samples while a buffer plays (StallWatch).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "audio/buffer_contract.h"
#include "audio/device.h"
#include "audio/mixing_device.h"
#include "audio/paced_queue.h"

namespace audio {

struct SdlBuffering {
  // SDL's period, in samples (a power of two), and how far beyond it the queue is kept. Measured
  // through a PulseAudio server on two shared cores, 4 streams of 64 keys each, at rest, beside
  // two busy threads and under stalls of 20 ms every 200 ms (of each processor in turn, and of
  // all at once): a period of 256 (23 ms) let the server run dry under the stalls of all at once;
  // a margin of half a period let SDL's second of two periods asked for in a row find the queue
  // short; 512 and 512 held throughout.
  uint32_t period = 512;
  uint32_t margin = 512;
};

struct SdlStats {
  MixStats mix;
  // Periods SDL took while a buffer played that the queue could not fill.
  int64_t holes = 0;
  // Starts that replaced queued silence.
  int64_t brought_forward = 0;
};

class SdlSoundDevice final : public MixingDevice {
 public:
  // Opens the default output; raises runtime::Error when no audio device can be opened. The
  // dispatcher must outlive the device, and every buffer must be released before the device.
  explicit SdlSoundDevice(runtime::Dispatcher& dispatcher, SdlBuffering buffering = {});
  ~SdlSoundDevice() override;
  SdlSoundDevice(const SdlSoundDevice&) = delete;
  SdlSoundDevice& operator=(const SdlSoundDevice&) = delete;

  SdlStats Stats() const;

 private:
  static void Callback(void* self, uint8_t* stream, int len);

  const SdlBuffering buffering_;
  PacedQueue queue_;
  uint32_t device_id_ = 0;
  bool callback_scheduled_ = false;  // the callback's thread only
  std::atomic<int64_t> holes_{0};
  std::atomic<int64_t> brought_forward_{0};
};

}  // namespace audio
