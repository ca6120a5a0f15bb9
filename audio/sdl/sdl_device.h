// A sound device on SDL2, for Linux machines without a sound server. SDL hands its output over a
// period at a time, and that period is all the buffering it keeps at a server or sound card: 128
// frames (11.6 ms) ran dry on a loaded machine, and a period longer than the 330 samples by which
// a notification comes before a half's end would mix past it, into the half the window has not
// written yet. So the two are apart: a pacing thread mixes the playing buffers (LoopMixer) a few
// milliseconds at a time into a queue of its own, kept a period and a margin deep, and SDL's
// callback takes whole periods from the queue. The callback finding the queue short of a period
// while a buffer plays is a hole, counted; what SDL does further on it cannot tell. A tone that
// starts from silence replaces the silence queued, as the PulseAudio device does.
//
// A watchdog thread reports the device lost when SDL says it was removed, or when SDL has stopped
// taking samples while a buffer plays (StallWatch).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "audio/buffer_contract.h"
#include "audio/device.h"
#include "audio/loop_mixer.h"
#include "audio/stall_watch.h"

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

class SdlSoundDevice final : public SoundDevice {
 public:
  // Opens the default output; raises runtime::Error when no audio device can be opened. The
  // dispatcher must outlive the device, and every buffer must be released before the device.
  explicit SdlSoundDevice(runtime::Dispatcher& dispatcher, SdlBuffering buffering = {});
  ~SdlSoundDevice() override;
  SdlSoundDevice(const SdlSoundDevice&) = delete;
  SdlSoundDevice& operator=(const SdlSoundDevice&) = delete;

  void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) override;
  EventHandle CreateEvent(EventSink& sink) override;
  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const BufferDesc& desc) override;
  void WatchLoss(std::function<void()> lost) override { loss_.Watch(std::move(lost)); }

  SdlStats Stats() const;

 private:
  static void Callback(void* self, uint8_t* stream, int len);
  // The pacing thread.
  void Pace();
  // Mixes `frames` onto the queue's end; with queue_mutex_ held.
  void MixOnto(int64_t frames);
  // On the window's thread, as a buffer starts with nothing else playing.
  void BringForward();

  const SdlBuffering buffering_;
  EventTable events_;  // the window's thread only
  LoopMixer mixer_;
  LossReport loss_;
  uint32_t device_id_ = 0;
  bool callback_scheduled_ = false;  // the callback's thread only

  // The queue between the pacing thread and SDL's callback: a ring of samples.
  mutable PriorityInheritingMutex queue_mutex_;
  std::vector<int16_t> ring_;
  size_t read_ = 0;
  size_t queued_ = 0;
  int64_t idle_tail_ = 0;       // samples at the queue's end that no buffer played
  std::vector<int16_t> mixed_;  // one step's, for the pacing thread and BringForward

  std::mutex pace_mutex_;
  std::condition_variable pace_wake_;
  bool quit_ = false;  // under pace_mutex_
  std::thread pacer_;

  std::atomic<int64_t> holes_{0};
  std::atomic<int64_t> brought_forward_{0};
  std::optional<StallWatch> watch_;
};

}  // namespace audio
