// A sound device on PipeWire's own client library: the default on Linux where PipeWire runs. One
// playback stream at 11025 Hz mono 16-bit runs for the whole life of this object; the graph asks
// it for each period's samples on its real-time thread, and takes them from a PacedQueue that the
// playing buffers are mixed into a few milliseconds at a time: the graph's periods, one at a time
// or, when its resampler wants more, two at once, do not shorten the window's lead. A start from
// silence replaces the queued silence and is heard one or two periods after its key.
//
// The stream asks for the period desktops run their graph at anyway, 1024 frames at 48 kHz (21.3
// ms; PipewireBuffering). Measured on two shared cores: it held through stalls of 20 ms every 200
// ms of each processor in turn and of all at once, with busy threads beside it and on a machine
// at rest; half of it lost a period at each stall of all processors (the graph, held up past a
// period, goes on without the one it was in). A period the stream hands over after the period's
// end is a hole the listener hears on a sound card, and so are one the graph went on without and
// one the queue could not fill: all are counted. (Through pipewire-pulse, the PulseAudio device cannot see its holes: that server's
// own queue runs dry between it and the graph, not at the stream; measured there, one stream in
// two lost samples unseen on a machine at rest.)
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

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_io_position;

namespace audio {

struct PipewireBuffering {
  // The period the stream asks the graph for, in samples of 11025 Hz; the graph takes the power
  // of two of its own rate at or below (256: 1024 frames at 44.1 and 48 kHz). The queue is kept
  // two periods deep, what the graph takes at most at once.
  uint32_t period = 256;
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

  const PipewireBuffering buffering_;
  PacedQueue queue_;
  std::unique_ptr<Events> listeners_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
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

  std::atomic<bool> gone_{false};
  std::atomic<int64_t> holes_{0};
  std::atomic<int64_t> hole_ns_{0};
  std::atomic<int64_t> brought_forward_{0};
  std::atomic<int64_t> period_ns_{0};
};

}  // namespace audio
