#include "tests/support/graph_capture.h"

#include <stdexcept>

#include "audio/pipewire/stream_format.h"
#include "synth/sample_rate.h"

namespace testsupport {

GraphCapture::GraphCapture(Take take) : take_(std::move(take)) {
  pw_init(nullptr, nullptr);
  loop_ = pw_thread_loop_new("graph-capture", nullptr);
  if (loop_ == nullptr || pw_thread_loop_start(loop_) < 0) {
    throw std::runtime_error("cannot start PipeWire's loop");
  }
  pw_thread_loop_lock(loop_);
  // Real-time, as the program's own stream: a recorder held up would hold the graph up.
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                            pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
  core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
  if (core_ == nullptr) {
    pw_thread_loop_unlock(loop_);
    throw std::runtime_error("cannot connect to PipeWire");
  }
  stream_ =
      pw_stream_new(core_, "graph capture",
                    pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                      PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr));
  events_.version = PW_VERSION_STREAM_EVENTS;
  events_.process = [](void* self) { static_cast<GraphCapture*>(self)->Process(); };
  pw_stream_add_listener(stream_, &listener_, &events_, this);
  uint8_t pod[256];
  const spa_pod* params[] = {audio::MonoStreamFormat(pod)};
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  const int connected = pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
  pw_thread_loop_unlock(loop_);
  if (connected < 0) throw std::runtime_error("cannot record the sink's monitor");
}

GraphCapture::~GraphCapture() {
  pw_thread_loop_lock(loop_);
  if (stream_ != nullptr) pw_stream_destroy(stream_);
  if (core_ != nullptr) pw_core_disconnect(core_);
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  if (context_ != nullptr) pw_context_destroy(context_);
  pw_thread_loop_destroy(loop_);
}

void GraphCapture::Process() {
  pw_time time{};
  pw_stream_get_time_n(stream_, &time, sizeof time);
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
  if (buffer == nullptr) return;
  const spa_data& data = buffer->buffer->datas[0];
  if (data.data != nullptr && data.chunk->size > 0 && time.rate.denom != 0) {
    const auto* samples = static_cast<const int16_t*>(data.data) + data.chunk->offset / 2;
    const auto position =
        static_cast<int64_t>(time.ticks * synth::kSampleRate * time.rate.num / time.rate.denom);
    take_({samples, data.chunk->size / 2}, position, time.now);
  }
  pw_stream_queue_buffer(stream_, buffer);
}

}  // namespace testsupport
