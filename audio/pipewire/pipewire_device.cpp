#include "audio/pipewire/pipewire_device.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "audio/pipewire/stream_format.h"
#include "runtime/error.h"

namespace audio {
namespace {

// A daemon that takes longer to answer than this is taken as absent: the window waits for it.
constexpr int kOpenTimeoutSeconds = 5;
// How long the stream must go without a hole before it asks for a shorter period again.
constexpr auto kQuiet = std::chrono::seconds(15);
// The longest period a graph runs, in samples of 11025 Hz: PipeWire's largest, 8192 frames, at
// 44.1 kHz and above.
constexpr int64_t kLongestGraphPeriod = 2048;
// How often the loop looks at the holes counted.
constexpr timespec kAdaptEvery = {0, 100'000'000};

class Locked {
 public:
  explicit Locked(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~Locked() { pw_thread_loop_unlock(loop_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pw_thread_loop* loop_;
};

std::string Latency(uint32_t samples) {
  return std::to_string(samples) + "/" + std::to_string(synth::kSampleRate);
}

int64_t Nanoseconds(uint64_t ticks, const spa_fraction& rate) {
  return rate.denom == 0 ? 0
                         : static_cast<int64_t>(ticks * rate.num * SPA_NSEC_PER_SEC / rate.denom);
}

}  // namespace

struct PipewireSoundDevice::Events {
  spa_hook core_listener{};
  spa_hook stream_listener{};
  pw_core_events core{};
  pw_stream_events stream{};
};

PipewireSoundDevice::PipewireSoundDevice(runtime::Dispatcher& dispatcher,
                                         PipewireBuffering buffering)
    : MixingDevice(dispatcher,
                   [this] {
                     if (queue_.BringForward()) ++brought_forward_;
                   }),
      periods_{buffering.period, 2 * buffering.period, 4 * buffering.period},
      steps_(periods_, kQuiet, buffering.grow),
      queue_(mixer_, 2 * periods_.front(),
             2 * std::max<int64_t>(periods_.back(), kLongestGraphPeriod)),
      listeners_(std::make_unique<Events>()),
      asked_(periods_.front()),
      queued_for_(periods_.front()) {
  try {
    Connect();
  } catch (...) {
    Close();
    throw;
  }
  queue_.Start();
  // The daemon tells of its own end (the connection or the stream fails); a daemon that hangs
  // just stops asking for samples, and so the pacing thread stops mixing.
  StartWatching([this] { return gone_.load(); });
}

PipewireSoundDevice::~PipewireSoundDevice() {
  StopWatching();
  Close();
}

void PipewireSoundDevice::Connect() {
  static std::once_flag initialized;
  std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
  loop_ = pw_thread_loop_new("kavrel-pipewire", nullptr);
  if (loop_ == nullptr || pw_thread_loop_start(loop_) < 0) {
    RaiseNoDevice("PipeWire", "cannot start its thread");
  }
  Locked lock(loop_);
  // The context is made on the loop's own thread: its real-time module lowers the niceness of
  // the thread that loads it, which must not be the window's. Its graph thread runs real-time.
  // (A blocking invoke from another thread lets the loop's lock go while it waits, so it is
  // called with the lock held.)
  pw_loop_invoke(
      pw_thread_loop_get_loop(loop_),
      [](spa_loop*, bool, uint32_t, const void*, size_t, void* self) {
        auto* me = static_cast<PipewireSoundDevice*>(self);
        me->context_ =
            pw_context_new(pw_thread_loop_get_loop(me->loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        return 0;
      },
      0, nullptr, 0, true, this);
  if (context_ == nullptr) RaiseNoDevice("PipeWire", std::strerror(errno));

  core_ = pw_context_connect(context_, nullptr, 0);
  if (core_ == nullptr) RaiseNoDevice("PipeWire", std::strerror(errno));
  listeners_->core.version = PW_VERSION_CORE_EVENTS;
  listeners_->core.error = [](void* self, uint32_t id, int, int res, const char*) {
    auto* me = static_cast<PipewireSoundDevice*>(self);
    // The daemon's connection broke (it ended), or it refused the stream.
    if (id == PW_ID_CORE && res == -EPIPE) me->gone_ = true;
    me->failed_ = true;
    pw_thread_loop_signal(me->loop_, false);
  };
  listeners_->core.done = [](void* self, uint32_t id, int seq) {
    auto* me = static_cast<PipewireSoundDevice*>(self);
    if (id == PW_ID_CORE && seq == me->sync_) me->synced_ = true;
    pw_thread_loop_signal(me->loop_, false);
  };
  pw_core_add_listener(core_, &listeners_->core_listener, &listeners_->core, this);
  AwaitSink();

  stream_ =
      pw_stream_new(core_, "Kavrel",
                    pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                      PW_KEY_APP_NAME, "Kavrel", PW_KEY_NODE_LATENCY,
                                      Latency(steps_.Now()).c_str(), nullptr));
  if (stream_ == nullptr) RaiseNoDevice("PipeWire", std::strerror(errno));
  listeners_->stream.version = PW_VERSION_STREAM_EVENTS;
  listeners_->stream.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                        const char*) {
    auto* me = static_cast<PipewireSoundDevice*>(self);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
      me->gone_ = true;
      me->failed_ = true;
    }
    pw_thread_loop_signal(me->loop_, false);
  };
  listeners_->stream.io_changed = [](void* self, uint32_t id, void* area, uint32_t size) {
    auto* me = static_cast<PipewireSoundDevice*>(self);
    if (id != SPA_IO_Position) return;
    me->position_ = size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr;
  };
  listeners_->stream.process = [](void* self) {
    static_cast<PipewireSoundDevice*>(self)->Process();
  };
  pw_stream_add_listener(stream_, &listeners_->stream_listener, &listeners_->stream, this);

  uint8_t pod[256];
  const spa_pod* params[] = {MonoStreamFormat(pod)};
  // The graph's thread takes each period from the paced queue as the graph asks.
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
    RaiseNoDevice("PipeWire", "the stream was refused");
  }
  tick_ = pw_loop_add_timer(
      pw_thread_loop_get_loop(loop_),
      [](void* self, uint64_t) { static_cast<PipewireSoundDevice*>(self)->Adapt(); }, this);
  if (tick_ == nullptr) RaiseNoDevice("PipeWire", std::strerror(errno));
  timespec every = kAdaptEvery;
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_), tick_, &every, &every, false);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(kOpenTimeoutSeconds);
  for (;;) {
    const char* error = nullptr;
    const pw_stream_state state = pw_stream_get_state(stream_, &error);
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) break;
    if (failed_ || state == PW_STREAM_STATE_ERROR) {
      RaiseNoDevice("PipeWire", error != nullptr ? error : "the daemon refused the stream");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      RaiseNoDevice("PipeWire", "no answer within 5 s");
    }
    pw_thread_loop_timed_wait(loop_, 1);
  }
}

// Where PipeWire runs beside another sound server (for screen sharing, say), it has no sound
// card: a stream there would play to no one, and the other server is the one to use.
void PipewireSoundDevice::AwaitSink() {
  pw_registry* registry = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (registry == nullptr) RaiseNoDevice("PipeWire", std::strerror(errno));
  spa_hook listener{};
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global = [](void* self, uint32_t, uint32_t, const char* type, uint32_t,
                     const spa_dict* props) {
    const char* media_class =
        props != nullptr ? spa_dict_lookup(props, PW_KEY_MEDIA_CLASS) : nullptr;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && media_class != nullptr &&
        std::strcmp(media_class, "Audio/Sink") == 0) {
      static_cast<PipewireSoundDevice*>(self)->sinks_ = true;
    }
  };
  pw_registry_add_listener(registry, &listener, &events, this);
  // Every node the daemon has is announced before the answer to this.
  sync_ = pw_core_sync(core_, PW_ID_CORE, 0);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(kOpenTimeoutSeconds);
  while (!synced_ && !failed_ && sync_ >= 0 && std::chrono::steady_clock::now() < deadline) {
    pw_thread_loop_timed_wait(loop_, 1);
  }
  spa_hook_remove(&listener);
  pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
  if (!synced_) {
    RaiseNoDevice("PipeWire",
                  failed_ ? "the daemon refused the connection" : "no answer within 5 s");
  }
  if (!sinks_) RaiseNoDevice("PipeWire", "no sound output (another sound server has the cards)");
}

void PipewireSoundDevice::Close() {
  if (loop_ == nullptr) return;
  {
    Locked lock(loop_);
    if (tick_ != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), tick_);
    if (stream_ != nullptr) pw_stream_destroy(stream_);
    if (core_ != nullptr) pw_core_disconnect(core_);
  }
  pw_thread_loop_stop(loop_);
  if (context_ != nullptr) pw_context_destroy(context_);
  pw_thread_loop_destroy(loop_);
  loop_ = nullptr;
}

PipewireStats PipewireSoundDevice::Stats() const {
  PipewireStats stats;
  stats.mix = mixer_.Stats();
  stats.holes = holes_;
  stats.hole_ms = static_cast<double>(hole_ns_) / 1e6;
  stats.brought_forward = brought_forward_;
  stats.period_ms = static_cast<double>(period_ns_) / 1e6;
  stats.asked = asked_;
  stats.growths = growths_;
  stats.shrinks = shrinks_;
  return stats;
}

// A hole asks for the next longer period (at most one step each look, so that the holes of one
// stall are one step), and a quiet period for a shorter one, which waits for a moment no buffer
// plays: a change of the graph's period may cost a sound card a period of its own. A longer
// period is asked for one look after the queue was deepened for it: asked at once, the graph's
// first longer period found the queue not yet filled, a hole that asked for the next step.
void PipewireSoundDevice::Adapt() {
  if (deepened_) {
    deepened_ = false;
    AskPeriod();
    return;
  }
  const auto now = BufferingSteps::Clock::now();
  const int64_t holes = holes_;
  if (holes != holes_seen_) {
    holes_seen_ = holes;
    if (steps_.Hole(now)) {
      ++growths_;
      queued_for_ = steps_.Now();
      deepened_ = true;
    }
  } else if (!mixer_.Playing() && steps_.Tick(now)) {
    ++shrinks_;
    AskPeriod();
    queued_for_ = steps_.Now();
  }
}

void PipewireSoundDevice::AskPeriod() {
  const uint32_t period = steps_.Now();
  const std::string latency = Latency(period);
  const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str())};
  const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
  pw_stream_update_properties(stream_, &dict);
  asked_ = period;
}

// The graph waits for this stream's samples before its sink takes them: a stream late with a
// period makes the whole period late, and a sound card then runs out and plays a hole (a sink that
// is no card, as in a test, catches up instead). So a period counts as a hole when the stream is
// asked for it more than a period after it was due to begin, when the graph's clock moved on by
// more than the last period since the stream was last asked (held up past its end, the graph went
// on without the stream), or when the queue cannot fill it, while a buffer plays. The clock's
// position tells periods apart: the stream may be asked twice in one, as its resampler takes what
// it needs.
void PipewireSoundDevice::Process() {
  int64_t late_ns = 0;
  bool skipped = false;
  if (const spa_io_position* position = position_;
      position != nullptr && !(position->clock.flags & SPA_IO_CLOCK_FLAG_FREEWHEEL)) {
    const spa_io_clock& clock = position->clock;
    const int64_t period = Nanoseconds(clock.duration, clock.rate);
    period_ns_ = period;
    if (clock.id != clock_id_ || clock.position != last_position_) {
      skipped = clock.id == clock_id_ && clock.position - last_position_ > last_duration_ + 1;
      clock_id_ = clock.id;
      last_position_ = clock.position;
      last_duration_ = clock.duration;
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      late_ns = static_cast<int64_t>(SPA_TIMESPEC_TO_NSEC(&now) - clock.nsec) - period;
    }
  }
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
  if (buffer == nullptr) return;
  spa_data& data = buffer->buffer->datas[0];
  if (data.data != nullptr) {
    uint32_t frames = data.maxsize / 2;
    if (buffer->requested != 0 && buffer->requested < frames) {
      frames = static_cast<uint32_t>(buffer->requested);
      widest_ = std::max(widest_, frames);
    }
    // Two periods queued: of the period asked for, or of the graph's own where it runs longer
    // ones than asked (a forced period, another client's or a driver's longer one).
    const int64_t depth = 2 * static_cast<int64_t>(std::max(queued_for_.load(), widest_));
    if (depth != depth_) {
      depth_ = depth;
      queue_.SetDepth(depth);
    }
    const size_t short_by = queue_.Take(static_cast<int16_t*>(data.data), frames);
    if ((skipped || late_ns > 0 || short_by > 0) && mixer_.Playing()) {
      ++holes_;
      hole_ns_ += std::max<int64_t>(late_ns, 0);
    }
    data.chunk->offset = 0;
    data.chunk->stride = 2;
    data.chunk->size = frames * 2;
  }
  pw_stream_queue_buffer(stream_, buffer);
}

}  // namespace audio
