#include "audio/pulse/pulse_device.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <string>

#include "runtime/error.h"

namespace audio {
namespace {

// A server that takes longer to answer than this is taken as absent: the window waits for it.
constexpr pa_usec_t kOpenTimeout = 5 * PA_USEC_PER_SEC;
// How long the stream must have played without an underflow before its target comes down a step.
constexpr std::chrono::seconds kQuiet{15};

constexpr pa_sample_spec kFormat{PA_SAMPLE_S16LE, synth::kSampleRate, 1};

uint32_t MsToBytes(uint32_t ms) {
  return ms * synth::kSampleRate / 1000 * 2;
}

class Locked {
 public:
  explicit Locked(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~Locked() { pa_threaded_mainloop_unlock(loop_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

}  // namespace

PulseSoundDevice::PulseSoundDevice(runtime::Dispatcher& dispatcher, PulseBuffering buffering)
    : MixingDevice(dispatcher, [this] { BringForward(); }),
      buffering_(buffering),
      target_ms_(buffering.target_ms) {
  for (uint32_t ms = buffering.target_ms; targets_ms_.empty() || ms > targets_ms_.back();
       ms = std::min(buffering.most_ms, ms * 3 / 2)) {
    targets_ms_.push_back(ms);
  }
  steps_.emplace(targets_ms_, kQuiet, buffering.grow);
  try {
    Connect();
  } catch (...) {
    Close();
    throw;
  }
  // The server tells of its own end (the stream or the connection fails); a server that hangs
  // just stops asking for samples.
  StartWatching([this] { return gone_.load(); });
}

PulseSoundDevice::~PulseSoundDevice() {
  StopWatching();
  Close();
}

void PulseSoundDevice::Connect() {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) {
    RaiseNoDevice("PulseAudio", "out of memory");
  }
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Kavrel");
  pa_context_set_state_callback(context_, &PulseSoundDevice::OnContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0 ||
      pa_threaded_mainloop_start(loop_) < 0) {
    RaiseNoDevice("PulseAudio", pa_strerror(pa_context_errno(context_)));
  }
  Locked lock(loop_);
  pa_time_event* deadline = pa_context_rttime_new(
      context_, pa_rtclock_now() + kOpenTimeout,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
        auto* me = static_cast<PulseSoundDevice*>(self);
        me->open_timed_out_ = true;
        pa_threaded_mainloop_signal(me->loop_, 0);
      },
      this);
  struct FreeDeadline {
    pa_threaded_mainloop* loop;
    pa_time_event* event;
    ~FreeDeadline() { pa_threaded_mainloop_get_api(loop)->time_free(event); }
  } free_deadline{loop_, deadline};

  AwaitOpen([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; }, "connection");
  stream_ = pa_stream_new(context_, "Kavrel", &kFormat, nullptr);
  if (stream_ == nullptr) {
    RaiseNoDevice("PulseAudio", pa_strerror(pa_context_errno(context_)));
  }
  pa_stream_set_state_callback(stream_, &PulseSoundDevice::OnStreamState, this);
  pa_stream_set_write_callback(stream_, &PulseSoundDevice::OnWrite, this);
  pa_stream_set_underflow_callback(stream_, &PulseSoundDevice::OnUnderflow, this);
  const pa_buffer_attr attr = Attr();
  // Early requests: the server asks for each request's worth as soon as it is free, and sets the
  // sink's own latency to one request, so that the queue is all at the stream, where a start can
  // replace it. (Without, the sink took the target less two requests at a time: 40 ms here.)
  const auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_EARLY_REQUESTS);
  if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0) {
    RaiseNoDevice("PulseAudio", pa_strerror(pa_context_errno(context_)));
  }
  AwaitOpen([this] { return pa_stream_get_state(stream_) == PA_STREAM_READY; }, "stream");
  tick_ = pa_context_rttime_new(context_, pa_rtclock_now() + PA_USEC_PER_SEC,
                                &PulseSoundDevice::OnTick, this);
}

void PulseSoundDevice::AwaitOpen(const std::function<bool()>& ready, const char* what) {
  while (!ready()) {
    const bool failed = !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
                        (stream_ != nullptr && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)));
    if (failed || open_timed_out_) {
      const std::string reason =
          failed ? pa_strerror(pa_context_errno(context_)) : "no answer within 5 s";
      RaiseNoDevice("PulseAudio", std::string(what) + ": " + reason);
    }
    pa_threaded_mainloop_wait(loop_);
  }
}

void PulseSoundDevice::Close() {
  if (loop_ == nullptr) return;
  pa_threaded_mainloop_stop(loop_);
  if (tick_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(tick_);
  if (stream_ != nullptr) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  pa_threaded_mainloop_free(loop_);
  loop_ = nullptr;
}

PulseStats PulseSoundDevice::Stats() const {
  PulseStats stats;
  stats.mix = mixer_.Stats();
  stats.underflows = underflows_;
  stats.growths = growths_;
  stats.shrinks = shrinks_;
  stats.target_ms = target_ms_;
  stats.brought_forward = brought_forward_;
  stats.latency_ms = static_cast<double>(latency_us_) / 1000.0;
  return stats;
}

pa_buffer_attr PulseSoundDevice::Attr() const {
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = MsToBytes(target_ms_);
  attr.minreq = MsToBytes(buffering_.request_ms);
  // After an underflow playing resumes with the first request written, not after a refill of the
  // whole target: the hole is as short as it can be.
  attr.prebuf = attr.minreq;
  attr.fragsize = static_cast<uint32_t>(-1);
  return attr;
}

void PulseSoundDevice::OnContextState(pa_context* context, void* self) {
  auto* me = static_cast<PulseSoundDevice*>(self);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) me->Gone();
  pa_threaded_mainloop_signal(me->loop_, 0);
}

void PulseSoundDevice::OnStreamState(pa_stream* stream, void* self) {
  auto* me = static_cast<PulseSoundDevice*>(self);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) me->Gone();
  pa_threaded_mainloop_signal(me->loop_, 0);
}

void PulseSoundDevice::OnWrite(pa_stream*, size_t bytes, void* self) {
  static_cast<PulseSoundDevice*>(self)->Fill(bytes);
}

void PulseSoundDevice::OnUnderflow(pa_stream*, void* self) {
  auto* me = static_cast<PulseSoundDevice*>(self);
  ++me->underflows_;
  if (me->steps_->Hole(BufferingSteps::Clock::now())) {
    ++me->growths_;
    me->Retarget();
  }
}

void PulseSoundDevice::OnTick(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                              void* self) {
  auto* me = static_cast<PulseSoundDevice*>(self);
  if (me->steps_->Tick(BufferingSteps::Clock::now())) {
    ++me->shrinks_;
    me->Retarget();
  }
  pa_context_rttime_restart(me->context_, event, pa_rtclock_now() + PA_USEC_PER_SEC);
}

// The watch reports it once the device is open; while it opens, the failure is raised instead.
void PulseSoundDevice::Gone() {
  gone_ = true;
}

void PulseSoundDevice::Fill(size_t bytes) {
  if (!scheduled_) {
    scheduled_ = true;
    RaiseToRealTime();
  }
  const int frames = static_cast<int>(bytes / 2);
  if (frames == 0) return;
  samples_.resize(static_cast<size_t>(frames));
  NoteIdle(mixer_.Render(samples_.data(), frames), frames);
  pa_stream_write(stream_, samples_.data(), static_cast<size_t>(frames) * 2, nullptr, 0,
                  PA_SEEK_RELATIVE);
  pa_usec_t latency = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream_, &latency, &negative) == 0) {
    latency_us_ = negative ? 0 : static_cast<int64_t>(latency);
  }
}

void PulseSoundDevice::NoteIdle(int idle, int frames) {
  idle_tail_ = idle == frames ? idle_tail_ + idle : idle;
}

// On the window's thread, as a buffer starts with nothing else playing. The queue at the server
// holds at most the target, and its end is the silence the mixer wrote while no buffer played:
// the start replaces that silence from as early as it can, and nothing a buffer played before. A
// buffer the window stopped plays out what it had queued, its pause included, so the pause
// before the new tone is never shorter than the window's own. The start renders no further at
// once than one request past the buffer's first notification: the window then has at least the
// lead it has while the stream runs (a request can pass a notification by as much).
void PulseSoundDevice::BringForward() {
  if (!buffering_.bring_forward) return;
  const int64_t to_notification = mixer_.SamplesToNextStop(true);
  Locked lock(loop_);
  if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
  // Until the queue has drained to a smaller target, its end is not where the target says.
  if (BufferingSteps::Clock::now() < draining_until_) return;
  const int64_t queue = MsToBytes(target_ms_) / 2;
  const int64_t request = MsToBytes(buffering_.request_ms) / 2;
  int64_t frames = std::min(queue, idle_tail_);
  if (to_notification != LoopMixer::kNever) frames = std::min(frames, to_notification + request);
  if (frames <= 0) return;
  samples_.resize(static_cast<size_t>(frames));
  NoteIdle(mixer_.Render(samples_.data(), static_cast<int>(frames)), static_cast<int>(frames));
  pa_stream_write(stream_, samples_.data(), static_cast<size_t>(frames) * 2, nullptr,
                  (queue - frames) * 2, PA_SEEK_RELATIVE_ON_READ);
  ++brought_forward_;
}

// A smaller target lets the queue at the server drain to it, with no hole on the way.
void PulseSoundDevice::Retarget() {
  const uint32_t from = target_ms_;
  target_ms_ = steps_->Now();
  if (target_ms_ < from) {
    draining_until_ = BufferingSteps::Clock::now() +
                      std::chrono::milliseconds(from - target_ms_ + 2 * buffering_.request_ms);
  }
  const pa_buffer_attr attr = Attr();
  pa_operation* o = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr);
  if (o != nullptr) pa_operation_unref(o);
}

}  // namespace audio
