#include "dialer/form1.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/folders.h"
#include "runtime/rounding.h"
#include "runtime/text_file.h"
#include "runtime/val.h"

namespace dialer {
namespace {

constexpr int16_t kTrue = -1;
constexpr int16_t kFalse = 0;
constexpr std::u16string_view kPrompt = u"Type Text and press Enter";
// The largest tone time a rebuild applies: beyond it the bank would not fit in memory.
constexpr double kMaxToneTime = 30000;

// Val of a text that the user typed: a number beyond double range reads as the largest double
// of its sign, so a key release in the tone-time box never ends in an overflow.
double ValOfTyped(const std::u16string& text) {
  try {
    return runtime::Val(text);
  } catch (const runtime::Error&) {
    const size_t sign = text.find_first_not_of(u" \t\n");
    const bool negative = sign != std::u16string::npos && text[sign] == u'-';
    return negative ? std::numeric_limits<double>::lowest() : std::numeric_limits<double>::max();
  }
}

// A tone time stored as the 32-bit LastToneTime; values beyond the range saturate.
int32_t ToneTimeAsInteger(double t) {
  constexpr double lo = std::numeric_limits<int32_t>::min();
  constexpr double hi = std::numeric_limits<int32_t>::max();
  return runtime::CLng(std::clamp(t, lo, hi));
}

std::u16string Decimal(long long n) {
  const std::string digits = std::to_string(n);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

StoredSettings ReadStoredSettings(const std::vector<std::string>& lines) {
  StoredSettings stored;
  if (lines.size() >= 1) stored.dial_string = runtime::FromAnsi(lines[0]);
  if (lines.size() >= 2) stored.tone_time = runtime::FromAnsi(lines[1]);
  if (lines.size() >= 3) {
    try {
      const int16_t value = runtime::CInt(runtime::Val(lines[2]));
      const forms::ScrollRange& range = Form1Layout().Definition("VScroll1").range;
      if (value >= range.min && value <= range.max) stored.volume = value;
    } catch (const runtime::Error&) {
      // Not a number of the volume's size: the initial volume stays.
    }
  }
  return stored;
}

int16_t DialKeyIndex(char16_t c) {
  if (c >= u'a' && c <= u'd') c = static_cast<char16_t>(c - u'a' + u'A');
  const size_t at = kKeypad.find(c);
  return at == std::u16string_view::npos ? int16_t{-1} : static_cast<int16_t>(at);
}

Form1::Form1(forms::Binding& binding, SoundOpener open_sound)
    : forms::Form(binding, Form1Layout()),
      Text6(*this, Definition("Text6")),
      Text5(*this, Definition("Text5")),
      Timer2(*this, Definition("Timer2")),
      Text4(*this, Definition("Text4")),
      Text3(*this, Definition("Text3")),
      Timer1(*this, Definition("Timer1")),
      VScroll1(*this, Definition("VScroll1")),
      Text2(*this, Definition("Text2")),
      Command3(*this, Definition("Command3")),
      Text1(*this, Definition("Text1")),
      Command2(*this, "Command2"),
      Line2(*this, Definition("Line2")),
      Line1(*this, Definition("Line1")),
      Image1(*this, Definition("Image1")),
      Label2(*this, Definition("Label2")),
      Label1(*this, Definition("Label1")),
      Output([this, open_sound = std::move(open_sound)] { return open_sound(*this); },
             [this] { return VScroll1.Value(); }, [this] { return this->binding().Handle(); },
             *this) {
  Text4.Click = [this] { Text4_Click(); };
  KeyDown = [this](int16_t key, int16_t shift) { Form_KeyDown(key, shift); };
  for (int i = 0; i < Command2.size(); ++i) {
    Command2[i].MouseDown = [this, i](int16_t button, int16_t shift, float x, float y) {
      Command2_MouseDown(static_cast<int16_t>(i), button, shift, x, y);
    };
  }
  Timer2.Tick = [this] { Timer2_Timer(); };
  Command3.Click = [this] { Command3_Click(); };
  Text6.GotFocus = [this] { Text6_GotFocus(); };
  Text6.KeyUp = [this](int16_t key, int16_t shift) { Text6_KeyUp(key, shift); };
  Text2.KeyUp = [this](int16_t key, int16_t shift) { Text2_KeyUp(key, shift); };
  Timer1.Tick = [this] { Timer1_Timer(); };
  VScroll1.Scroll = [this] { VScroll1_Scroll(); };
  VScroll1.Change = [this] { VScroll1_Change(); };
}

// ---- Start-up, rebuild, shutdown -------------------------------------------------------------

void Form1::ReadSettings() {
  if (settings_.path.empty()) return;
  // A missing, short or malformed file keeps the initial values of whatever it lacks.
  auto lines = runtime::ReadLines(settings_.path, 3);
  if (!lines && !settings_.defaults.empty()) lines = runtime::ReadLines(settings_.defaults, 3);
  if (!lines) return;
  const StoredSettings stored = ReadStoredSettings(*lines);
  if (stored.dial_string) Text1.SetText(*stored.dial_string);
  if (stored.tone_time) Text2.SetText(*stored.tone_time);
  if (stored.volume) VScroll1.SetValue(*stored.volume);
}

void Form1::Form_Load() {
  settings_ = ChooseSettingsPlace(binding().ProgramFolder());
  ReadSettings();
  // A screen reader reads the volume as the read-out shows it, from the start.
  VScroll1.SetDescription(VolumeLevel());
  LastToneTime = ToneTimeAsInteger(ValOfTyped(Text2.Text()));
  InitAll();
}

void Form1::InitAll() {
  StopDialing();
  int32_t slope_time = synth::kSlopeTime;
  Slope.InitSlopeFilter(slope_time);
  Slope.CalcSlope(synth::kSlopeMagnitude);
  // Every tone time up to the edges' length gives the same bank, so negative ones are as good as 0.
  const float tone_time =
      static_cast<float>(std::clamp(ValOfTyped(Text2.Text()), 0.0, kMaxToneTime));
  // The new bank and buffer go in together: a failure anywhere leaves the old tone time playing.
  BlockSamples = Output.InstallToneBank(tone_time, Slope);
}

void Form1::Form_QueryUnload(int16_t& /*cancel*/, int16_t /*unload_mode*/) {
  Output.ReleaseOutput();
  if (settings_.path.empty()) return;
  // A number is written with a blank on each side (the first is the place of its sign).
  std::string value(1, ' ');
  value.append(std::to_string(VScroll1.Value())).push_back(' ');
  try {
    if (!settings_.folder.empty()) runtime::CreateFolders(settings_.folder);
    runtime::ReplaceWithLines(settings_.path, {runtime::ToAnsi(Text1.Text()),
                                               runtime::ToAnsi(Text2.Text()), value, " ", " "});
  } catch (const runtime::Error& e) {
    const bool kept = runtime::PathExists(settings_.path);
    throw runtime::Error(e.number(), "The settings could not be saved (" + e.description() + ")." +
                                         (kept ? " The previous settings file was kept." : ""));
  }
}

void Form1::Text4_Click() {
  binding().OpenUrl("http://" + runtime::ToAnsi(Text4.Text()) + "/index.html",
                    binding().ProgramFolder());
}

void Form1::Form_KeyDown(int16_t key_code, int16_t) {
  // Escape is the Stop button's while a sequence plays; at rest it must not start one.
  if (key_code == 27 && Command3.Caption() == u"Stop") Command3_Click();
}

// ---- Keypad and dial controller --------------------------------------------------------------

bool Form1::QueueFull() const {
  const int next = QueueWritePos + 1 > kQueueLastSlot ? 0 : QueueWritePos + 1;
  return IsDialing && next == QueueReadPos;
}

bool Form1::Command2_MouseDown(int16_t index, int16_t, int16_t, float, float) {
  // A full queue refuses the key rather than overwrite tones that are waiting.
  if (QueueFull()) return false;

  if (Caption() == layout().title) SetCaption(u" ");
  if (index >= 0) AppendCaption(Command2[index].Caption());
  RestartTimer(Timer2);

  if (IsDialing) {
    DialQueue[QueueWritePos] = static_cast<int16_t>(index + 1);
    if (++QueueWritePos > kQueueLastSlot) QueueWritePos = 0;
    return true;
  }
  // A new sequence ends with its own silent half, even when it cuts into a draining one.
  EmptyNotifyCount = 0;
  // After a loss this opens the default device again.
  Output.ResetOutput();
  // Without a sound device there is nothing to start; the title still echoes the keys.
  if (!Output.OutputReady()) return true;
  Output.WriteToneBlock(static_cast<int16_t>(index + 1));
  Output.StartOutput();
  IsDialing = kTrue;
  Command3.SetCaption(u"Stop");
  return true;
}

void Form1::DirectXEvent8_DXCallBack(int32_t /*EventID*/) {
  if (QueueWritePos != QueueReadPos) {
    Output.WriteToneBlock(DialQueue[QueueReadPos]);
    if (++QueueReadPos > kQueueLastSlot) QueueReadPos = 0;
    return;
  }
  QueueWritePos = 0;
  QueueReadPos = 0;
  IsDialing = kFalse;
  if (++EmptyNotifyCount == 2) {
    EmptyNotifyCount = 0;
    Output.ResetOutput();
    Command3.SetCaption(u"Play");
  } else {
    Output.WriteToneBlock(0);
  }
}

void Form1::SoundDeviceLost() {
  EndDialing();
  Command3.SetCaption(u"Play");
  binding().ShowMessage(
      u"The sound device was lost. The next key opens the default sound device again.");
}

void Form1::StopDialing() {
  if (!IsDialing) return;
  Output.ResetOutput();
  EndDialing();
}

void Form1::EndDialing() {
  QueueWritePos = 0;
  QueueReadPos = 0;
  EmptyNotifyCount = 0;
  IsDialing = kFalse;
}

void Form1::Timer2_Timer() {
  if (IsDialing) return;
  SetCaption(std::u16string(layout().title));
  Timer2.SetEnabled(false);
}

void Form1::RestartTimer(forms::Timer& timer) {
  timer.SetEnabled(false);
  timer.SetEnabled(true);
}

// ---- String and text dialing -----------------------------------------------------------------

void Form1::PressAll(size_t presses, const std::function<int16_t(size_t)>& key_at) {
  size_t refused = 0;
  for (size_t i = 0; i < presses; ++i) {
    if (!Command2_MouseDown(key_at(i), 0, 0, 0, 0)) ++refused;
  }
  if (refused > 0) {
    binding().ShowMessage(u"The dial queue is full: " + Decimal(static_cast<long long>(refused)) +
                          u" of " + Decimal(static_cast<long long>(presses)) +
                          u" key presses were not sent.");
  }
}

void Form1::Command3_Click() {
  if (Command3.Caption() == u"Stop") {
    Command3.SetCaption(u"Play");
    StopDialing();
    return;
  }
  const size_t n = Text1.Text().size();
  if (n == 0) return;
  // The text is read again at every step, as it may change while keys are pressed.
  PressAll(n, [this](size_t i) {
    return i < Text1.Text().size() ? DialKeyIndex(Text1.Text()[i]) : int16_t{-1};
  });
}

void Form1::SendText() {
  const std::u16string text = Text6.Text();
  // Every character gives its two halves; a blank adds a pause after them.
  std::vector<int16_t> keys;
  keys.reserve(text.size() * 2 + 16);
  for (char16_t ch : text) {
    const unsigned char code = runtime::AnsiCode(ch);
    keys.push_back(static_cast<int16_t>((code & 0xF0) / 16));
    keys.push_back(static_cast<int16_t>(code & 0x0F));
    if (ch == u' ') keys.push_back(-1);
  }
  PressAll(keys.size(), [&keys](size_t i) { return keys[i]; });
  Text6.SetText(u"");
}

void Form1::Text6_GotFocus() {
  if (Text6.Text().substr(0, kPrompt.size()) == kPrompt) Text6.SetText(u"");
}

void Form1::Text6_KeyUp(int16_t key_code, int16_t) {
  if (key_code == 13) SendText();
}

// ---- Tone time and volume --------------------------------------------------------------------

void Form1::Text2_KeyUp(int16_t, int16_t) {
  const double t = ValOfTyped(Text2.Text());
  if (t == static_cast<double>(LastToneTime)) return;
  InitAll();
  Command3.SetCaption(u"Play");
  Text3.SetText(Text2.Text());
  RestartTimer(Timer1);
  LastToneTime = ToneTimeAsInteger(ValOfTyped(Text2.Text()));
}

void Form1::Timer1_Timer() {
  if (ValOfTyped(Text2.Text()) < 20) Text2.SetText(u"20");
  if (ValOfTyped(Text2.Text()) > 30000) Text2.SetText(u"30000");
  Text3.SetText(Text2.Text());
  LastToneTime = ToneTimeAsInteger(ValOfTyped(Text2.Text()));
  Timer1.SetEnabled(false);
  Text5.SetVisible(false);
}

std::u16string Form1::VolumeLevel() const {
  return u"- " + Decimal(runtime::CInt((VScroll1.Value() - 1) / 100.0)) + u" dB";
}

void Form1::ShowVolume() {
  const std::u16string level = VolumeLevel();
  Text5.SetText(u"Volume: " + level);
  VScroll1.SetDescription(level);
  Text5.SetVisible(true);
  RestartTimer(Timer1);
}

void Form1::VScroll1_Scroll() {
  Output.SetVolume();
  ShowVolume();
}

void Form1::VScroll1_Change() {
  Output.SetVolume();
  ShowVolume();
}

}  // namespace dialer
