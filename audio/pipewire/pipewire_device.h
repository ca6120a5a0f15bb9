// A sound device on PipeWire's own client library: the default on Linux where PipeWire runs. One
// playback stream at 11025 Hz mono 16-bit runs for the whole life of this object; the graph asks
// it for each period's samples on its real-time thread, and takes them from a PacedQueue that the
// playing buffers are mixed into a few milliseconds at a time: the graph's periods, one at a time
// or, when its resampler wants more, two at once, do not shorten the window's lead. A start from
// silence replaces the queued silence and is heard one or two periods after its key.
//
// The stream first asks for periods of 512 frames at 48 kHz (10.7 ms), and for twice as long a
// period after each hole, up to 2048 frames (42.7 ms); after 15 s with no hole it asks for half
// again, between tones (PipewireBuffering, BufferingSteps). A hole is a period the stream handed
// over after the period's end, one the graph went on without (its clock moved past it), or one the
// queue could not fill, while a buffer played: each is a period a sound card plays without the
// stream's samples, and each is counted. (Through pipewire-pulse, the PulseAudio device cannot see
// its holes: that server's own queue runs dry between it and the graph, not at the stream;
// measured there, one stream in two lost samples unseen on a machine at rest.)
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "audio/buffer_contract.h"
#include "audio/buffering_steps.h"
#include "audio/device.h"
#include "audio/mixing_device.h"
#include "audio/paced_queue.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_io_position;
struct spa_source;

namespace audio {

struct PipewireBuffering {
  // The period the stream asks the graph for at first, in samples of 11025 Hz; the graph takes the
  // power of two of its own rate at or below (128: 512 frames at 44.1 and 48 kHz, 10.7 ms). Each
  // hole asks for twice as long a period, up to four times this one, and each quiet period (15 s
  // with no hole) for half again, between tones (BufferingSteps). The queue is kept two periods
  // deep, what the graph takes at most at once.
  uint32_t period = 128;
  // False keeps the first period whatever is heard.
  bool grow = true;
};

struct PipewireStats {
  MixStats mix;
  // Periods handed over late or not filled whole (each a hole on a sound card), and the lateness
  // of the late ones in all (ms).
  int64_t holes = 0;
  double hole_ms = 0;
  // Starts that replaced queued silence.
  int64_t brought_forward = 0;
  // The graph's period at the last request.
  double period_ms = 0;
  // The period asked for now (samples of 11025 Hz), and the steps taken up and down.
  uint32_t asked = 0;
  int64_t growths = 0;
  int64_t shrinks = 0;
};

class PipewireSoundDevice final : public MixingDevice {
 public:
  // Connects to the PipeWire daemon; raises runtime::Error when none answers within a few
  // seconds. The dispatcher must outlive the device, and every buffer must be released before it.
  explicit PipewireSoundDevice(runtime::Dispatcher& dispatcher, PipewireBuffering buffering = {});
  ~PipewireSoundDevice() override;
  PipewireSoundDevice(const PipewireSoundDevice&) = delete;
  PipewireSoundDevice& operator=(const PipewireSoundDevice&) = delete;

  PipewireStats Stats() const;

 private:
  struct Events;

  void Connect();
  void AwaitSink();
  void Close();
  // On the graph's thread.
  void Process();
  // On the loop's thread, now and then: a step up after a hole, or down after a quiet period.
  void Adapt();
  // Asks the graph for the period the steps are at; with the loop locked.
  void AskPeriod();

  const std::array<uint32_t, 3> periods_;
  BufferingSteps steps_;
  PacedQueue queue_;
  std::unique_ptr<Events> listeners_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_source* tick_ = nullptr;
  // While connecting, with the loop locked.
  bool failed_ = false;
  int sync_ = 0;
  bool synced_ = false;
  bool sinks_ = false;

  // Set by the loop's thread while the graph's thread does not process the stream.
  std::atomic<spa_io_position*> position_{nullptr};
  // The graph's thread only.
  uint64_t clock_id_ = 0;
  uint64_t last_position_ = 0;
  uint64_t last_duration_ = 0;
  uint32_t widest_ = 0;  // the most samples the graph asked for at once
  int64_t depth_ = 0;    // what the queue is kept at

  std::atomic<bool> gone_{false};
  std::atomic<int64_t> holes_{0};
  std::atomic<int64_t> hole_ns_{0};
  std::atomic<int64_t> brought_forward_{0};
  std::atomic<int64_t> period_ns_{0};

  // The loop's thread only, but for the atomics, which Stats and the graph's thread read.
  int64_t holes_seen_ = 0;
  std::atomic<uint32_t> asked_;
  // The period the queue is kept two of; a longer one before it is asked for.
  std::atomic<uint32_t> queued_for_;
  bool deepened_ = false;
  std::atomic<int64_t> growths_{0};
  std::atomic<int64_t> shrinks_{0};
};

}  // namespace audio
