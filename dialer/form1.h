// The dialer window: keypad, dial queue, string and text dialing, tone time and volume, start-up
// and shutdown with the settings file. Written once against the form engine; every platform
// binding runs this same class.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/device.h"
#include "audio/output.h"
#include "dialer/form1_limits.h"
#include "dialer/forms/form.h"
#include "dialer/settings_place.h"
#include "runtime/dispatcher.h"
#include "synth/slope_filter.h"

namespace dialer {

// Opens the default sound device, delivering its notifications through the given dispatcher.
using SoundOpener = std::function<std::unique_ptr<audio::SoundDevice>(runtime::Dispatcher&)>;

// The keypad, row by row (a key's index is its place here): the characters that press each key,
// typed or in a dial string. The first is the key's caption; a letter key takes its letter in
// either case.
inline constexpr std::u16string_view kKeyChars[] = {
    u"1", u"2", u"3", u"Aa", u"4", u"5", u"6", u"Bb",
    u"7", u"8", u"9", u"Cc", u"*", u"0", u"#", u"Dd",
};

// The dial queue's ring: positions wrap after this slot, so at most this many tones can wait.
inline constexpr int16_t kQueueLastSlot = 32000;

class Form1 final : public forms::Form, private audio::EventSink {
 public:
  Form1(forms::Binding& binding, SoundOpener open_sound);

  // The controls, in the order the window stores them (their places: form1_layout.cpp).
  forms::TextBox Text6;       // the text to send, just below the client area; Enter sends it
  forms::TextBox Text5;       // the volume read-out, shown over Text1 while the volume changes
  forms::Timer Timer2;        // puts the title back 3 s after the last key
  forms::TextBox Text4;       // the web link, opened by a click
  forms::TextBox Text3;       // the break time, always the tone time in effect (disabled)
  forms::Timer Timer1;        // 1.5 s after a change: keeps Text2 within the limits, hides Text5
  forms::ScrollBar VScroll1;  // the volume (form1_limits.h)
  forms::TextBox Text2;       // the tone time in ms, applied at each key release
  forms::Button Command3;     // Play the dial string, or Stop while a sequence plays
  forms::TextBox Text1;       // the dial string
  forms::ControlArray<forms::Button, 16> Command2;  // the keypad, in the order of kKeyChars
  forms::Decoration Line2;                          // below the client area: never seen
  forms::Decoration Line1;                          // likewise
  forms::Decoration Image1;                         // the keypad picture
  forms::Label Label2;                              // "Break time [ms]", beside Text3
  forms::Label Label1;                              // "Tone time  [ms]", beside Text2

  void Form_Load() override;
  void InitAll();
  void Form_QueryUnload(int16_t& cancel, int16_t unload_mode) override;
  void Text4_Click();
  void Form_KeyDown(int16_t key_code, int16_t shift);

  // Returns false when the key was refused because the dial queue is full.
  bool Command2_MouseDown(int16_t index, int16_t button, int16_t shift, float x, float y);
  void DirectXEvent8_DXCallBack(int32_t EventID);
  // The sound device went away: dialing stops, the queue empties, the user hears of it once; the
  // next key opens the default device again.
  void SoundDeviceLost();
  void StopDialing();
  void Timer2_Timer();

  void Command3_Click();
  void SendText();
  void Text6_GotFocus();
  void Text6_KeyUp(int16_t key_code, int16_t shift);

  void Text2_KeyUp(int16_t key_code, int16_t shift);
  void Timer1_Timer();
  void VScroll1_Scroll();
  void VScroll1_Change();

  // The settings file read at start-up and written at shutdown.
  const std::string& SettingsPath() const { return settings_.path; }

  // Dial controller state.
  std::array<int16_t, 32768> DialQueue{};
  int16_t QueueWritePos = 0;
  int16_t QueueReadPos = 0;
  int16_t EmptyNotifyCount = 0;
  int16_t IsDialing = 0;  // -1 true, 0 false
  // Tone time last applied, and the block length of the current tone bank.
  int32_t LastToneTime = 0;
  int32_t BlockSamples = 0;
  synth::SlopeEnvelope Slope;
  audio::PlayDX8Module Output;

 private:
  void DXCallBack(int32_t EventID) override { DirectXEvent8_DXCallBack(EventID); }
  void DeviceLost() override { SoundDeviceLost(); }
  bool QueueFull() const;
  // Back to idle: the queue empty, no silent half counted, not dialing.
  void EndDialing();
  // Presses keys for a run of dialing; tells the user once if the queue refused some.
  void PressAll(size_t presses, const std::function<int16_t(size_t)>& key_at);
  // The volume in dB as the read-out shows it: "- 5 dB".
  std::u16string VolumeLevel() const;
  void ShowVolume();
  void RestartTimer(forms::Timer& timer);
  void ReadSettings();

  SettingsPlace settings_;
};

// The window's title, size and controls (form1_layout.cpp).
const forms::Layout& Form1Layout();

// The key index a character presses (kKeyChars), or -1 (in a dial string, a pause) for any other
// character.
int16_t DialKeyIndex(char16_t c);

// What the first three lines of a settings file give the window at start-up: the dial string and
// the tone time as they stand, and the volume when it is a number within the scroll bar's range.
// What the file lacks, or a volume that does not fit, is left out: that control keeps its
// initial value.
struct StoredSettings {
  std::optional<std::u16string> dial_string;  // Text1
  std::optional<std::u16string> tone_time;    // Text2
  std::optional<int16_t> volume;              // VScroll1
};
StoredSettings ReadStoredSettings(const std::vector<std::string>& lines);

}  // namespace dialer
