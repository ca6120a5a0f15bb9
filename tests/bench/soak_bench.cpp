// The soak run's driver: kavrel's window (the Qt binding, on the display it is given), Form1 and
// the sound device (tests/support/device_choice.h), used at random for MINUTES minutes through the
// window's own input: keypad keys pressed with the mouse, dial strings typed and played, texts
// typed and sent, and the tone time and the volume changed at random moments, also while a sequence
// plays. Run it through soak.sh, which records the sound and decodes it.
//
// Standard output: one line per episode (one use of the keypad, the dial string or the text box,
// from the first input until the sound has stopped), for the decoder:
//   episode START_MS END_MS KIND DIGITS CUT TONE_TIME
// START_MS and END_MS in wall-clock milliseconds since the epoch, DIGITS the keys that must be
// heard ("-" for none), CUT 1 when a tone time change stopped the sequence (then only the first
// digits are heard), TONE_TIME what the tone time box held as the episode began. Then summary lines
// starting with "soak:". Exit status 1 when the window stopped answering (a sequence that never
// ended).
//
// Usage: soak_bench MINUTES [SEED] [device options]
#define QTEST_QPA_MOUSE_HANDLING

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "dialer/form1.h"
#include "dialer/forms/qt/qt_binding.h"
#include "dialer/forms/qt/window_priority.h"
#include "runtime/codepage.h"
#include "tests/support/device_choice.h"

namespace {

using Clock = std::chrono::steady_clock;

long long WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

std::string Digit(int16_t key) {
  return std::string(1, static_cast<char>(dialer::kKeypad[static_cast<size_t>(key)]));
}

// What the window plays for a text: two keys per character, the halves of its ANSI code.
std::string TextDigits(const std::u16string& text) {
  std::string digits;
  for (char16_t c : text) {
    const unsigned char code = runtime::AnsiCode(c);
    digits += Digit(static_cast<int16_t>(code >> 4)) + Digit(static_cast<int16_t>(code & 15));
  }
  return digits;
}

class Soak {
 public:
  Soak(dialer::Form1& form, QWidget& window, unsigned seed, const testsupport::DeviceChoice& device)
      : form_(form), window_(window), device_(device), random_(seed) {
    // A message box is a handler's error (or a refusal): noted and answered, so nothing waits.
    box_watch_.setInterval(50);
    QObject::connect(&box_watch_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        messages_.push_back(box->text().toStdString());
        box->button(QMessageBox::Ok)->click();
      }
    });
    box_watch_.start();
  }

  int Run(double minutes) {
    const Clock::time_point start = Clock::now();
    const auto end = start + std::chrono::duration<double, std::ratio<60>>(minutes);
    while (Clock::now() < end) {
      const double at_minutes =
          std::chrono::duration<double, std::ratio<60>>(Clock::now() - start).count();
      if (at_minutes >= 1 && first_minute_mb_ == 0) {
        first_minute_mb_ = ResidentMb();
        first_minute_underflows_ = device_.Holes();
        first_minute_opened_ = device_.Opened();
      }
      if (Chance(0.15)) SetToneTime();
      if (!Episode()) return 1;
      QTest::qWait(Between(300, 800));
    }
    last_minute_mb_ = ResidentMb();
    Summary(minutes);
    return 0;
  }

 private:
  bool Chance(double p) { return std::uniform_real_distribution<>(0, 1)(random_) < p; }
  int Between(int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(random_); }
  template <typename W>
  W* Widget(const QString& name) {
    return window_.findChild<W*>(name);
  }
  bool Idle() const { return !form_.IsDialing && form_.Command3.Caption() == u"Play"; }

  // One use of the window, until its sound has stopped; false when it never stopped.
  bool Episode() {
    const long long started = WallMs();
    const std::string tone_time = QString::fromStdU16String(form_.Text2.Text()).toStdString();
    const int volume_at = Chance(0.3) ? Between(0, 3000) : -1;
    const int tone_at = Chance(0.1) ? Between(0, 3000) : -1;
    std::string kind, digits;
    switch (Between(0, 2)) {
      case 0:
        kind = "keys";
        digits = PressKeys();
        break;
      case 1:
        kind = "dial";
        digits = PlayDialString();
        break;
      default:
        kind = "text";
        digits = SendText();
        break;
    }
    bool cut = false, volume_done = volume_at < 0, tone_done = tone_at < 0;
    const Clock::time_point since = Clock::now();
    while (!Idle() || !volume_done || !tone_done) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
      if (!volume_done && ms.count() >= volume_at) {
        SetVolume();
        volume_done = true;
      }
      if (!tone_done && ms.count() >= tone_at) {
        cut = cut || !Idle();
        SetToneTime();
        tone_done = true;
      }
      if (ms > std::chrono::minutes(2)) {
        std::fprintf(stderr, "soak_bench: a %s sequence did not end within 2 minutes\n",
                     kind.c_str());
        return false;
      }
      QTest::qWait(20);
    }
    ++episodes_;
    keys_ += static_cast<long long>(digits.size());
    std::printf("episode %lld %lld %s %s %d %s\n", started, WallMs(), kind.c_str(),
                digits.empty() ? "-" : digits.c_str(), cut ? 1 : 0, tone_time.c_str());
    std::fflush(stdout);
    return true;
  }

  std::string PressKeys() {
    std::string digits;
    for (int n = Between(1, 6); n > 0; --n) {
      const int16_t key = static_cast<int16_t>(Between(0, 15));
      auto* button = Widget<QPushButton>(QStringLiteral("Command2(%1)").arg(key));
      QTest::mousePress(button, Qt::LeftButton);
      QTest::mouseRelease(button, Qt::LeftButton, {}, {}, Between(20, 120));
      digits += Digit(key);
      QTest::qWait(Between(0, 150));
    }
    return digits;
  }

  std::string PlayDialString() {
    static const char kChars[] = "0123456789ABCDabcd*#,, -";
    std::string typed;
    for (int n = Between(3, 16); n > 0; --n) typed += kChars[Between(0, sizeof kChars - 2)];
    auto* box = Widget<QLineEdit>(QStringLiteral("Text1"));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(box, QString::fromLatin1(typed.c_str()));
    std::string digits;
    for (char16_t c : form_.Text1.Text()) {
      const int16_t key = dialer::DialKeyIndex(c);
      if (key >= 0) digits += Digit(key);
    }
    QTest::mouseClick(Widget<QPushButton>(QStringLiteral("Command3")), Qt::LeftButton);
    return digits;
  }

  std::string SendText() {
    std::string typed;
    for (int n = Between(1, 12); n > 0; --n) typed += static_cast<char>(Between(32, 126));
    auto* box = Widget<QPlainTextEdit>(QStringLiteral("Text6"));
    box->setFocus();
    QTest::keyClicks(box, QString::fromLatin1(typed.c_str()));
    // Enter adds a line break to the text, and its release sends all of it.
    const std::string digits = TextDigits(form_.Text6.Text() + u"\r\n");
    QTest::keyClick(box, Qt::Key_Return);
    return digits;
  }

  // Typed as the user would: every key's release applies what the box holds by then.
  void SetToneTime() {
    auto* box = Widget<QLineEdit>(QStringLiteral("Text2"));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(box, QString::number(Between(60, 150)));
    ++tone_changes_;
  }

  // Down to -20 dB, so that every tone can still be decoded.
  void SetVolume() {
    Widget<QScrollBar>(QStringLiteral("VScroll1"))->setValue(Between(1, 2001));
    ++volume_changes_;
  }

  void Summary(double minutes) {
    std::printf(
        "soak: %.1f min, %d episodes, %lld keys, %d tone time changes, %d volume "
        "changes\n",
        minutes, episodes_, keys_, tone_changes_, volume_changes_);
    std::printf("soak: resident memory %.1f MB after the first minute, %.1f MB at the end\n",
                first_minute_mb_, last_minute_mb_);
    std::printf("soak: messages (handler errors) %zu\n", messages_.size());
    for (const std::string& m : messages_) std::printf("soak:   %s\n", m.c_str());
    const audio::MixStats mix = device_.Mix();
    std::printf("soak: late refills %lld in %lld renders; devices opened %d\n",
                static_cast<long long>(mix.late_refills), static_cast<long long>(mix.renders),
                device_.Opened());
    const int64_t underflows = device_.Holes();
    if (underflows < 0) {
      std::printf("soak: server underflows unknown\n");
    } else {
      // Counted per device: after a reopen the first minute's count is of another one.
      const std::string later = first_minute_underflows_ < 0 ? "none (a run of a minute or less)"
                                : first_minute_opened_ != device_.Opened()
                                    ? "unknown (the device was reopened)"
                                    : std::to_string(underflows - first_minute_underflows_);
      std::printf("soak: server underflows %lld, after the first minute %s\n",
                  static_cast<long long>(underflows), later.c_str());
    }
    std::printf("soak: %s\n", device_.Describe().c_str());
  }

  dialer::Form1& form_;
  QWidget& window_;
  const testsupport::DeviceChoice& device_;
  std::mt19937 random_;
  QTimer box_watch_;
  std::vector<std::string> messages_;
  int episodes_ = 0, tone_changes_ = 0, volume_changes_ = 0;
  long long keys_ = 0;
  double first_minute_mb_ = 0, last_minute_mb_ = 0;
  int64_t first_minute_underflows_ = -1;
  int first_minute_opened_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  testsupport::DeviceChoice device;
  if (!device.Parse(argc, argv) || argc < 2) {
    std::fprintf(stderr, "usage: soak_bench MINUTES [SEED] [device options]\n");
    return 2;
  }
  const double minutes = std::atof(argv[1]);
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 1;
  QApplication app(argc, argv);

  forms::qt::QtBinding binding;
  dialer::Form1 form(binding,
                     [&](runtime::Dispatcher& dispatcher) { return device.Open(dispatcher); });
  binding.Build(form);
  // As the program does.
  forms::qt::RaiseWindowThread();
  form.UserLoad();
  if (device.Opened() == 0 || !form.Output.OutputReady()) {
    std::fprintf(stderr, "soak_bench: no sound output could be opened\n");
    return 1;
  }
  binding.Window().show();
  binding.Window().activateWindow();
  if (!QTest::qWaitForWindowExposed(&binding.Window())) {
    std::fprintf(stderr, "soak_bench: the window was never shown\n");
    return 1;
  }

  const int status = Soak(form, binding.Window(), seed, device).Run(minutes);
  // Leave without closing the window: closing would save settings beside the benchmark.
  return status;
}
