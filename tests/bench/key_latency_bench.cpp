// Key-press latency of the real program: from the mouse-down reaching the window to the first
// sample of that key leaving the SDL audio callback. The window is the Qt binding rendering
// offscreen, the presses go through Qt's window-system input path, the logic is Form1 and the
// sound is the SDL device (run it through key_latency_bench.sh for a PulseAudio null sink).
//
// The first sample of a key is in the first callback that mixes its buffer after Play: the device
// counts its callbacks, so the count taken around Play names that callback, and its completion is
// watched for. The device is wrapped only to see Play; nothing in the program is changed.
//
// Usage: key_latency_bench [PRESSES]   (default 100)
#define QTEST_QPA_MOUSE_HANDLING

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "audio/sdl/sdl_device.h"
#include "dialer/form1.h"
#include "dialer/forms/qt/qt_binding.h"

namespace {

using Clock = std::chrono::steady_clock;

// Play of the most recent sequence: when it happened and which callback carries its first sample.
struct PlayMark {
  Clock::time_point at;
  int64_t first_callback = 0;
  bool seen = false;
};

class TimedBuffer final : public audio::SoundBuffer {
 public:
  TimedBuffer(std::unique_ptr<audio::SoundBuffer> inner, audio::SdlSoundDevice& device,
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
    inner_->Play(flags);
    // The callbacks counted now ended before Play, or (rarely) just after it: the first sample
    // leaves with the next one, or this count errs by one callback on the long side.
    mark_.first_callback = device_.Stats().callbacks + 1;
    mark_.at = Clock::now();
    mark_.seen = true;
  }
  void Stop() override { inner_->Stop(); }
  void Renew() override { inner_->Renew(); }

 private:
  std::unique_ptr<audio::SoundBuffer> inner_;
  audio::SdlSoundDevice& device_;
  PlayMark& mark_;
};

class TimedDevice final : public audio::SoundDevice {
 public:
  TimedDevice(runtime::Dispatcher& dispatcher, PlayMark& mark)
      : inner_(std::make_unique<audio::SdlSoundDevice>(dispatcher)), mark_(mark) {}

  audio::SdlSoundDevice& Sdl() { return *inner_; }
  void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) override {
    inner_->SetCooperativeLevel(window, level);
  }
  audio::EventHandle CreateEvent(audio::EventSink& sink) override {
    return inner_->CreateEvent(sink);
  }
  std::unique_ptr<audio::SoundBuffer> CreateSoundBuffer(const audio::BufferDesc& desc) override {
    return std::make_unique<TimedBuffer>(inner_->CreateSoundBuffer(desc), *inner_, mark_);
  }

 private:
  std::unique_ptr<audio::SdlSoundDevice> inner_;
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

}  // namespace

int main(int argc, char** argv) {
  const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  PlayMark mark;
  TimedDevice* device = nullptr;
  forms::qt::QtBinding binding;
  dialer::Form1 form(binding, [&](runtime::Dispatcher& dispatcher) {
    auto opened = std::make_unique<TimedDevice>(dispatcher, mark);
    device = opened.get();
    return opened;
  });
  binding.Build(form);
  form.UserLoad();
  if (device == nullptr || !form.Output.OutputReady) {
    std::fprintf(stderr, "key_latency_bench: no sound output could be opened\n");
    return 1;
  }
  binding.Window().show();
  if (!QTest::qWaitForWindowExposed(&binding.Window())) return 1;
  PressClock press_clock;
  app.installEventFilter(&press_clock);

  std::vector<double> total, to_play;
  for (int n = 0; n < presses; ++n) {
    // Each press starts a sequence from idle: wait until the previous one has played out.
    if (!QTest::qWaitFor([&] { return !form.IsDialing && form.Command3.Caption() == u"Play"; },
                         5000)) {
      std::fprintf(stderr, "key_latency_bench: the sound did not stop after press %d\n", n - 1);
      return 1;
    }
    QTest::qWait(20 + n % 7);  // vary the phase against the callback period
    mark.seen = false;
    auto* key =
        binding.Window().findChild<QPushButton*>(QStringLiteral("Command2(%1)").arg(n % 16));
    QTest::mousePress(key, Qt::LeftButton);
    const Clock::time_point pressed = press_clock.last;
    if (!mark.seen) {
      std::fprintf(stderr, "key_latency_bench: press %d did not start the sound\n", n);
      return 1;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
    while (device->Sdl().Stats().callbacks < mark.first_callback && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const Clock::time_point left = Clock::now();
    QTest::mouseRelease(key, Qt::LeftButton);
    total.push_back(Ms(left - pressed));
    to_play.push_back(Ms(mark.at - pressed));
  }

  const audio::SdlPlaybackStats stats = device->Sdl().Stats();
  std::printf("key press to first sample leaving the SDL callback, %d presses from idle:\n",
              presses);
  std::printf("  median %.2f ms   p99 %.2f ms   max %.2f ms\n", Percentile(total, 50),
              Percentile(total, 99), *std::max_element(total.begin(), total.end()));
  std::printf("  of which mouse-down to Play: median %.3f ms   max %.3f ms\n",
              Percentile(to_play, 50), *std::max_element(to_play.begin(), to_play.end()));
  std::printf("  callbacks %lld of %d frames, underruns %lld\n",
              static_cast<long long>(stats.callbacks), audio::SdlSoundDevice::kCallbackFrames,
              static_cast<long long>(stats.underruns));
  // Leave without closing the window: closing would save settings beside the benchmark.
  return 0;
}
