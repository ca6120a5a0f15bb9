// A sink's monitor on PipeWire, taken in the graph: each period's samples (11025 Hz, mono, 16-bit)
// with the graph clock's position and the time the period began. For the tests' recorders, which
// keep the graph's timeline: a period the graph went on without shows as a skip of the position.
#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>
#include <span>

namespace testsupport {

class GraphCapture {
 public:
  // On the graph's real-time thread, once per period: its samples, where the period began (in
  // samples of 11025 Hz on the graph's clock) and when (ns on CLOCK_MONOTONIC).
  using Take = std::function<void(std::span<const int16_t> samples, int64_t position, int64_t ns)>;

  // Records the default sink's monitor; throws std::runtime_error when PipeWire does not answer.
  explicit GraphCapture(Take take);
  ~GraphCapture();
  GraphCapture(const GraphCapture&) = delete;
  GraphCapture& operator=(const GraphCapture&) = delete;

 private:
  void Process();

  Take take_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  pw_stream_events events_{};
};

}  // namespace testsupport
