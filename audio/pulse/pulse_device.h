// A sound device on the sound server's own client library (libpulse; PipeWire serves the same
// protocol): the default on Linux. One playback stream at 11025 Hz mono 16-bit runs for the whole
// life of this object, fed from the server's write requests on libpulse's threaded mainloop; each
// request is mixed from the playing buffers (LoopMixer). Unlike SDL2, the server tells it when it
// ran out of samples (an underflow: a hole the listener hears): those are counted, and each one
// grows the buffering kept at the server so that it does not happen again; after a quiet while it
// comes back down a step at a time (BufferingSteps).
//
// With buffering queued ahead, a tone that starts from silence would wait behind the queue; a
// start instead replaces the queued silence, so that it is heard as soon as the sink takes it.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/buffer_contract.h"
#include "audio/buffering_steps.h"
#include "audio/device.h"
#include "audio/mixing_device.h"

namespace audio {

// How much the stream keeps queued at the server.
struct PulseBuffering {
  // The queue the server keeps filled (the stream's target length), and the step it asks for
  // more in (its minimum request). Measured on two shared cores beside two busy threads (soak
  // runs, no growth): 20 ms ran dry twice in 3 minutes on a server started as a user starts it,
  // none on a real-time one; 30 and 40 ms not at all on either. 40 keeps a step in hand; a start
  // brought forward is heard as soon at any target.
  uint32_t target_ms = 40;
  uint32_t request_ms = 10;
  // Each underflow multiplies the target by 3/2, up to this; each quiet period divides it by 3/2,
  // down to the base above.
  uint32_t most_ms = 500;
  bool grow = true;
  // A start from silence replaces the queued silence.
  bool bring_forward = true;
};

struct PulseStats {
  MixStats mix;
  // Times the server ran out of the stream's samples.
  int64_t underflows = 0;
  // Times the target grew after one and came back down a step, and the target now.
  int64_t growths = 0;
  int64_t shrinks = 0;
  uint32_t target_ms = 0;
  // Starts that replaced queued silence.
  int64_t brought_forward = 0;
  // The stream's latency (queued at the server and the sink's own), at the last request.
  double latency_ms = 0;
};

class PulseSoundDevice final : public MixingDevice {
 public:
  // Connects to the default server; raises runtime::Error when none answers within a few seconds.
  // The dispatcher must outlive the device, and every buffer must be released before the device.
  explicit PulseSoundDevice(runtime::Dispatcher& dispatcher, PulseBuffering buffering = {});
  ~PulseSoundDevice() override;
  PulseSoundDevice(const PulseSoundDevice&) = delete;
  PulseSoundDevice& operator=(const PulseSoundDevice&) = delete;

  PulseStats Stats() const;

 private:
  static void OnContextState(pa_context* context, void* self);
  static void OnStreamState(pa_stream* stream, void* self);
  static void OnWrite(pa_stream* stream, size_t bytes, void* self);
  static void OnUnderflow(pa_stream* stream, void* self);
  static void OnTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self);
  // Waits, with the mainloop locked, until ready() or a failure or the opening's deadline; raises
  // with `what` and the server's reason on the last two.
  void AwaitOpen(const std::function<bool()>& ready, const char* what);
  void Connect();
  void Close();
  // The rest on the mainloop's thread or with it locked.
  void Fill(size_t bytes);
  void BringForward();
  // Follows how much of the stream's end no buffer played, after a render of `frames` whose last
  // `idle` no buffer played.
  void NoteIdle(int idle, int frames);
  // Sets the stream's target to the step BufferingSteps is at.
  void Retarget();
  void Gone();
  pa_buffer_attr Attr() const;

  const PulseBuffering buffering_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_time_event* tick_ = nullptr;
  bool open_timed_out_ = false;
  bool scheduled_ = false;
  std::vector<uint32_t> targets_ms_;  // the steps, from the base up
  std::optional<BufferingSteps> steps_;
  BufferingSteps::Clock::time_point draining_until_{};
  std::atomic<uint32_t> target_ms_{0};  // also read by Stats on any thread
  int64_t idle_tail_ = 0;         // samples at the end of what was written that no buffer played
  std::vector<int16_t> samples_;  // one request's, capacity kept
  std::atomic<bool> gone_{false};
  std::atomic<int64_t> underflows_{0};
  std::atomic<int64_t> growths_{0};
  std::atomic<int64_t> shrinks_{0};
  std::atomic<int64_t> brought_forward_{0};
  std::atomic<int64_t> latency_us_{0};
};

}  // namespace audio
