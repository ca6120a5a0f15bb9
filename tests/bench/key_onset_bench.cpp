// Key press to tone onset where the user hears it. The real program's window (the Qt binding,
// offscreen; presses through Qt's window-system input path), its logic (Form1) and its sound (the
// device of tests/support/device_choice.h) play into the sound server; a recorder on the sink's
// monitor finds where each tone begins and when the sink played it: on PulseAudio from the
// latency it reports for that monitor, on PipeWire (KAVREL_SOUND_SERVER=pipewire), whose null
// sinks report none, from the graph's clock that comes with each period the recorder takes. Run
// it through key_onset_bench.sh, which gives it a private server.
//
// Each press starts a sequence from idle. Two figures per press: to the first sample leaving the
// mixer (it counts its renders, so the count taken before Play names the one that carries it),
// and to the onset at the sink. A press whose tone has a gap at the sink, or during which the
// mixer counted a late refill or the server an underflow, counts as an underrun.
//
// Usage: key_onset_bench [PRESSES] [device options]   (default 100 presses)
#define QTEST_QPA_MOUSE_HANDLING

#include <pipewire/pipewire.h>
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>
#include <spa/param/audio/format-utils.h>

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dialer/form1.h"
#include "dialer/forms/qt/qt_binding.h"
#include "dialer/forms/qt/window_priority.h"
#include "tests/support/device_choice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 11025;

// Play of the most recent sequence: when it happened and which callback carries its first sample.
struct PlayMark {
  Clock::time_point at;
  int64_t first_callback = 0;
  bool seen = false;
};

class TimedBuffer final : public audio::SoundBuffer {
 public:
  TimedBuffer(std::unique_ptr<audio::SoundBuffer> inner, const testsupport::DeviceChoice& device,
              PlayMark& mark)
      : inner_(std::move(inner)), device_(device), mark_(mark) {}

  void SetNotificationPositions(std::span<const audio::PositionNotify> p) override {
    inner_->SetNotificationPositions(p);
  }
  void SetVolume(int32_t volume) override { inner_->SetVolume(volume); }
  void WriteBuffer(int32_t start, int32_t size, const void* source) override {
    inner_->WriteBuffer(start, size, source);
  }
  void Play(uint32_t flags) override {
    // The renders counted now ended before Play, or (rarely) just after it: the first sample
    // leaves with the next one (a device that brings a start forward renders it inside Play),
    // or this count errs by one render on the long side.
    mark_.first_callback = device_.Mix().renders + 1;
    inner_->Play(flags);
    mark_.at = Clock::now();
    mark_.seen = true;
  }
  void Stop() override { inner_->Stop(); }
  void Renew() override { inner_->Renew(); }

 private:
  std::unique_ptr<audio::SoundBuffer> inner_;
  const testsupport::DeviceChoice& device_;
  PlayMark& mark_;
};

class TimedDevice final : public audio::SoundDevice {
 public:
  TimedDevice(runtime::Dispatcher& dispatcher, testsupport::DeviceChoice& choice, PlayMark& mark)
      : inner_(choice.Open(dispatcher)), choice_(choice), mark_(mark) {}

  void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) override {
    inner_->SetCooperativeLevel(window, level);
  }
  audio::EventHandle CreateEvent(audio::EventSink& sink) override {
    return inner_->CreateEvent(sink);
  }
  std::unique_ptr<audio::SoundBuffer> CreateSoundBuffer(const audio::BufferDesc& desc) override {
    return std::make_unique<TimedBuffer>(inner_->CreateSoundBuffer(desc), choice_, mark_);
  }
  void WatchLoss(std::function<void()> lost) override { inner_->WatchLoss(std::move(lost)); }

 private:
  std::unique_ptr<audio::SoundDevice> inner_;
  const testsupport::DeviceChoice& choice_;
  PlayMark& mark_;
};

// Notes when a mouse press reaches the window, before any widget sees it.
class PressClock final : public QObject {
 public:
  Clock::time_point last;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) last = Clock::now();
    return false;
  }
};

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * (v.size() - 1) + 0.5));
  return v[i];
}

// What a recorder of the sink heard, and when the sink played it.
struct Recording {
  std::vector<int16_t> samples;
  // The moment the sink played each sample (ms on the steady clock); NaN before the first mark.
  std::vector<double> played_ms;
  std::vector<double> sink_latency_ms;
  std::vector<double> stream_buffer_ms;
  int overflows = 0;
};

class Recorder {
 public:
  virtual ~Recorder() = default;
  // Asks the server what it holds of the program's stream, where it can tell.
  virtual void SampleStreamLatency() {}
  virtual Recording Take() = 0;
};

// Records the default sink's monitor at 11025 Hz mono, on PulseAudio's own thread. After every
// read it asks the stream for its latency, which for a monitor PulseAudio corrects by the sink's
// own buffer: that places the samples read so far at the moment the sink plays them. It asks for
// no latency of its own, so that it does not change the sink's.
class MonitorRecorder final : public Recorder {
 public:
  MonitorRecorder() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) throw std::runtime_error("pa_threaded_mainloop_new failed");
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "key_onset_bench");
    pa_context_set_state_callback(context_, &MonitorRecorder::Wake, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      throw std::runtime_error(std::string("cannot connect to the sound server: ") +
                               pa_strerror(pa_context_errno(context_)));
    }
    Locked lock(loop_);
    pa_threaded_mainloop_start(loop_);
    for (pa_context_state_t s; (s = pa_context_get_state(context_)) != PA_CONTEXT_READY;) {
      if (!PA_CONTEXT_IS_GOOD(s)) throw std::runtime_error("the sound server refused the recorder");
      pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 1};
    stream_ = pa_stream_new(context_, "key onset", &format, nullptr);
    pa_stream_set_state_callback(stream_, &MonitorRecorder::Wake, this);
    pa_stream_set_read_callback(stream_, &MonitorRecorder::Read, this);
    pa_stream_set_overflow_callback(
        stream_, [](pa_stream*, void* self) { ++static_cast<MonitorRecorder*>(self)->overflows_; },
        this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = pa_usec_to_bytes(5000, &format);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(stream_, "@DEFAULT_MONITOR@", &attr, flags) < 0) {
      throw std::runtime_error("cannot record the sink's monitor");
    }
    for (pa_stream_state_t s; (s = pa_stream_get_state(stream_)) != PA_STREAM_READY;) {
      if (!PA_STREAM_IS_GOOD(s)) throw std::runtime_error("the monitor stream failed");
      pa_threaded_mainloop_wait(loop_);
    }
  }

  ~MonitorRecorder() override {
    pa_threaded_mainloop_stop(loop_);
    if (stream_ != nullptr) pa_stream_unref(stream_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
  }

  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  // Asks the server for the buffers of every stream that plays into the sink (the program's).
  void SampleStreamLatency() override {
    Locked lock(loop_);
    pa_operation* o = pa_context_get_sink_input_info_list(
        context_,
        [](pa_context*, const pa_sink_input_info* info, int, void* self) {
          if (info != nullptr) {
            auto* me = static_cast<MonitorRecorder*>(self);
            me->stream_buffer_ms_.push_back(info->buffer_usec / 1000.0);
          }
        },
        this);
    if (o != nullptr) pa_operation_unref(o);
  }

  Recording Take() override {
    Locked lock(loop_);
    Recording r;
    r.samples = samples_;
    r.played_ms.assign(samples_.size(), std::nan(""));
    // Each sample is placed by the first reading taken once it had arrived.
    size_t i = 0;
    for (const Mark& m : marks_) {
      for (; i < static_cast<size_t>(m.samples); ++i) {
        r.played_ms[i] = m.now_ms - m.latency_ms -
                         1000.0 * static_cast<double>(m.samples - static_cast<int64_t>(i)) / kRate;
      }
      r.sink_latency_ms.push_back(m.sink_ms);
    }
    r.stream_buffer_ms = stream_buffer_ms_;
    r.overflows = overflows_;
    return r;
  }

 private:
  struct Mark {
    int64_t samples;    // read so far
    double now_ms;      // when the latency was read
    double latency_ms;  // signed: a monitor's samples can come before the sink plays them
    double sink_ms;     // the sink's own latency, as reported with it
  };

  class Locked {
   public:
    explicit Locked(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Locked() { pa_threaded_mainloop_unlock(loop_); }

   private:
    pa_threaded_mainloop* loop_;
  };

  template <typename T>
  static void Wake(T*, void* self) {
    pa_threaded_mainloop_signal(static_cast<MonitorRecorder*>(self)->loop_, 0);
  }

  static void Read(pa_stream* stream, size_t, void* self) {
    auto* me = static_cast<MonitorRecorder*>(self);
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 &&
           bytes > 0) {
      const size_t n = bytes / 2;
      if (data == nullptr) {
        me->samples_.insert(me->samples_.end(), n, 0);  // a hole: nothing was played there
      } else {
        const auto* s = static_cast<const int16_t*>(data);
        me->samples_.insert(me->samples_.end(), s, s + n);
      }
      pa_stream_drop(stream);
    }
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &usec, &negative) != 0) return;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    const double latency = (negative ? -1.0 : 1.0) * static_cast<double>(usec) / 1000.0;
    me->marks_.push_back({static_cast<int64_t>(me->samples_.size()),
                          Ms(Clock::now().time_since_epoch()), latency,
                          timing ? timing->sink_usec / 1000.0 : 0.0});
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  std::vector<int16_t> samples_;
  std::vector<Mark> marks_;
  std::vector<double> stream_buffer_ms_;
  int overflows_ = 0;
};

// Records the default sink's monitor at 11025 Hz mono on PipeWire, in the graph: each period it
// takes comes with the time the period began, which is when a sink that is no sound card plays it.
class GraphRecorder final : public Recorder {
 public:
  GraphRecorder() {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("key_onset_bench", nullptr);
    if (loop_ == nullptr || pw_thread_loop_start(loop_) < 0) {
      throw std::runtime_error("cannot start PipeWire's loop");
    }
    pw_thread_loop_lock(loop_);
    // Real-time, as the program's own stream: a recorder held up would lose periods itself.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
    if (core_ == nullptr) {
      pw_thread_loop_unlock(loop_);
      throw std::runtime_error("cannot connect to PipeWire");
    }
    stream_ =
        pw_stream_new(core_, "key onset",
                      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                        "Capture", PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr));
    events_.version = PW_VERSION_STREAM_EVENTS;
    events_.process = [](void* self) { static_cast<GraphRecorder*>(self)->Process(); };
    pw_stream_add_listener(stream_, &listener_, &events_, this);
    uint8_t pod[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_S16_LE;
    format.rate = kRate;
    format.channels = 1;
    format.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    const int connected =
        pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    pw_thread_loop_unlock(loop_);
    if (connected < 0) throw std::runtime_error("cannot record the sink's monitor");
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while (Take().samples.empty()) {
      if (Clock::now() > deadline) throw std::runtime_error("the sink's monitor gave nothing");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  ~GraphRecorder() override {
    pw_thread_loop_lock(loop_);
    pw_stream_destroy(stream_);
    pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
  }

  GraphRecorder(const GraphRecorder&) = delete;
  GraphRecorder& operator=(const GraphRecorder&) = delete;

  Recording Take() override {
    std::lock_guard lock(mutex_);
    Recording r;
    r.samples = samples_;
    r.played_ms.assign(samples_.size(), std::nan(""));
    for (size_t m = 0; m < marks_.size(); ++m) {
      const size_t end = m + 1 < marks_.size() ? marks_[m + 1].first : samples_.size();
      for (size_t i = marks_[m].first; i < end; ++i) {
        r.played_ms[i] =
            marks_[m].second + 1000.0 * static_cast<double>(i - marks_[m].first) / kRate;
      }
    }
    return r;
  }

 private:
  void Process() {
    pw_time time{};
    pw_stream_get_time_n(stream_, &time, sizeof time);
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (buffer == nullptr) return;
    const spa_data& data = buffer->buffer->datas[0];
    if (data.data != nullptr && data.chunk->size > 0) {
      const auto* s = static_cast<const int16_t*>(data.data) + data.chunk->offset / 2;
      std::lock_guard lock(mutex_);
      marks_.emplace_back(samples_.size(), static_cast<double>(time.now) / 1e6);
      samples_.insert(samples_.end(), s, s + data.chunk->size / 2);
    }
    pw_stream_queue_buffer(stream_, buffer);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  pw_stream_events events_{};
  std::mutex mutex_;
  std::vector<int16_t> samples_;
  // Where each period begins in samples_, and when the graph began it (ms, steady clock).
  std::vector<std::pair<size_t, double>> marks_;
};

// Runs the window's event loop as the program does (sleeping until an event comes, unlike
// QTest::qWait, which sleeps 10 ms at a time) until done() holds or `ms` have passed.
bool RunEventsUntil(const std::function<bool()>& done, int ms) {
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  check.start(1);
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  if (!done()) loop.exec();
  return done();
}

void RunEventsFor(int ms) {
  RunEventsUntil([] { return false; }, ms);
}

int MaxAbs(std::span<const int16_t> s) {
  int m = 0;
  for (int16_t v : s) m = std::max(m, std::abs(static_cast<int>(v)));
  return m;
}

// Where one press's tone was heard, and whether it was heard whole.
struct Heard {
  size_t onset = 0;  // the recorded sample that corresponds to the row's first sample
  bool whole = false;
};

// Finds the next tone at or after `from`: the first sample above a quarter of the tone's peak,
// less the place where the written tone first rises above it. The tone is heard whole when every
// stretch of 32 samples (two periods of the lowest tone) that is loud in the written tone is loud
// in the recording too: a sink that ran dry leaves a gap.
std::optional<Heard> FindTone(const std::vector<int16_t>& recorded, size_t from,
                              const std::vector<int16_t>& tone) {
  const int peak = MaxAbs(tone);
  const int threshold = peak / 4;
  const auto rise =
      std::find_if(tone.begin(), tone.end(), [&](int16_t s) { return std::abs(s) > threshold; }) -
      tone.begin();
  const auto loud = std::find_if(recorded.begin() + static_cast<ptrdiff_t>(from), recorded.end(),
                                 [&](int16_t s) { return std::abs(s) > threshold; });
  if (loud == recorded.end() || loud - recorded.begin() < rise) return std::nullopt;
  Heard h;
  h.onset = static_cast<size_t>(loud - recorded.begin() - rise);
  if (h.onset + tone.size() > recorded.size()) return std::nullopt;
  constexpr size_t kWindow = 32;
  h.whole = true;
  for (size_t w = 0; w + kWindow <= tone.size(); w += kWindow) {
    const std::span<const int16_t> written(tone.data() + w, kWindow);
    const std::span<const int16_t> heard(recorded.data() + h.onset + w, kWindow);
    if (MaxAbs(written) > peak / 2 && MaxAbs(heard) < peak / 4) h.whole = false;
  }
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  testsupport::DeviceChoice choice;
  if (!choice.Parse(argc, argv)) return 2;
  const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  std::unique_ptr<Recorder> recorder;
  try {
    if (qEnvironmentVariable("KAVREL_SOUND_SERVER") == QStringLiteral("pipewire")) {
      recorder = std::make_unique<GraphRecorder>();
    } else {
      recorder = std::make_unique<MonitorRecorder>();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "key_onset_bench: %s\n", e.what());
    return 1;
  }

  PlayMark mark;
  forms::qt::QtBinding binding;
  dialer::Form1 form(binding, [&](runtime::Dispatcher& dispatcher) {
    return std::make_unique<TimedDevice>(dispatcher, choice, mark);
  });
  binding.Build(form);
  // As the program does.
  forms::qt::RaiseWindowThread();
  form.UserLoad();
  if (choice.Opened() == 0 || !form.Output.OutputReady()) {
    std::fprintf(stderr, "key_onset_bench: no sound output could be opened\n");
    return 1;
  }
  binding.Window().show();
  if (!QTest::qWaitForWindowExposed(&binding.Window())) return 1;
  PressClock press_clock;
  app.installEventFilter(&press_clock);

  std::vector<double> to_callback, to_play, pressed_ms;
  std::vector<int64_t> late_during, underflows_during;
  for (int n = 0; n < presses; ++n) {
    // Each press starts a sequence from idle: the previous one has played out (below).
    if (n % 10 == 5) recorder->SampleStreamLatency();
    RunEventsFor(40 + n % 7);  // vary the phase against the callback period
    mark.seen = false;
    const int64_t late_before = choice.Mix().late_refills;
    const int64_t underflows_before = choice.Holes();
    auto* key =
        binding.Window().findChild<QPushButton*>(QStringLiteral("Command2(%1)").arg(n % 16));
    // Watches for the callback that carries the press's first sample, at real-time priority where
    // allowed so that busy threads do not make the watch itself late.
    std::atomic<int64_t> first_callback{std::numeric_limits<int64_t>::max()};
    Clock::time_point left;
    std::thread watcher([&] {
      sched_param param{};
      param.sched_priority = 1;
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
      const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
      while (choice.Mix().renders < first_callback && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      left = Clock::now();
    });
    QTest::mousePress(key, Qt::LeftButton);
    const Clock::time_point pressed = press_clock.last;
    first_callback = mark.seen ? mark.first_callback : 0;
    watcher.join();
    if (!mark.seen) {
      std::fprintf(stderr, "key_onset_bench: press %d did not start the sound\n", n);
      return 1;
    }
    to_callback.push_back(Ms(left - pressed));
    to_play.push_back(Ms(mark.at - pressed));
    pressed_ms.push_back(Ms(pressed.time_since_epoch()));
    QTest::mouseRelease(key, Qt::LeftButton);
    if (!RunEventsUntil([&] { return !form.IsDialing && form.Command3.Caption() == u"Play"; },
                        5000)) {
      std::fprintf(stderr, "key_onset_bench: the sound did not stop after press %d\n", n);
      return 1;
    }
    late_during.push_back(choice.Mix().late_refills - late_before);
    underflows_during.push_back(choice.Holes() - underflows_before);
  }
  RunEventsFor(300);  // the last tone's way through the server
  const Recording rec = recorder->Take();

  const double gain = audio::VolumeGain(form.Output.Volume());
  std::vector<double> onset;
  int gaps = 0, late = 0, underflowed = 0, underrun_presses = 0;
  size_t from = 0;
  for (int n = 0; n < presses; ++n) {
    std::vector<int16_t> tone;
    for (int16_t s : form.Output.Inspect().ToneBank.Row(static_cast<int16_t>(n % 16 + 1))) {
      tone.push_back(audio::ApplyGain(s, gain));
    }
    // The tone comes after the window started it, and after the tone before.
    const double started = pressed_ms[n] + to_play[n];
    while (from < rec.played_ms.size() &&
           (std::isnan(rec.played_ms[from]) || rec.played_ms[from] < started)) {
      ++from;
    }
    const std::optional<Heard> heard = FindTone(rec.samples, from, tone);
    if (!heard || std::isnan(rec.played_ms[heard->onset])) {
      std::fprintf(stderr, "key_onset_bench: the tone of press %d is not in the recording\n", n);
      return 1;
    }
    const double latency = rec.played_ms[heard->onset] - pressed_ms[n];
    onset.push_back(latency);
    gaps += heard->whole ? 0 : 1;
    late += late_during[n] > 0 ? 1 : 0;
    underflowed += underflows_during[n] > 0 ? 1 : 0;
    underrun_presses += !heard->whole || late_during[n] > 0 || underflows_during[n] > 0 ? 1 : 0;
    from = heard->onset + tone.size();
  }

  std::printf("%d presses from idle, tone blocks of %d samples\n", presses, form.BlockSamples);
  std::printf("  key to Play in the window: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
              Percentile(to_play, 50), Percentile(to_play, 99),
              *std::max_element(to_play.begin(), to_play.end()));
  std::printf("  key to first sample leaving the mixer: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
              Percentile(to_callback, 50), Percentile(to_callback, 99),
              *std::max_element(to_callback.begin(), to_callback.end()));
  if (!rec.sink_latency_ms.empty()) {
    std::printf("  the sink's own latency as PulseAudio reports it: median %.1f ms, max %.1f ms\n",
                Percentile(rec.sink_latency_ms, 50),
                *std::max_element(rec.sink_latency_ms.begin(), rec.sink_latency_ms.end()));
  }
  if (!rec.stream_buffer_ms.empty()) {
    std::printf("  queued in the program's stream at the server: median %.1f ms, max %.1f ms\n",
                Percentile(rec.stream_buffer_ms, 50),
                *std::max_element(rec.stream_buffer_ms.begin(), rec.stream_buffer_ms.end()));
  }
  std::printf(
      "  presses with a gap at the sink %d, with a late refill %d, with a server underflow %s%s\n",
      gaps, late, choice.Holes() < 0 ? "unknown" : std::to_string(underflowed).c_str(),
      rec.overflows > 0 ? " (the recorder overflowed)" : "");
  std::printf("  server underflows in all %s; %s\n",
              choice.Holes() < 0 ? "unknown" : std::to_string(choice.Holes()).c_str(),
              choice.Describe().c_str());
  std::printf("key to onset at the sink: median %.1f ms, p99 %.1f ms, max %.1f ms, underruns %d\n",
              Percentile(onset, 50), Percentile(onset, 99),
              *std::max_element(onset.begin(), onset.end()), underrun_presses);
  // Leave without closing the window: closing would save settings beside the benchmark.
  return rec.overflows > 0 ? 1 : 0;
}
