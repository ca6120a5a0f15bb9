// The dialer window: keypad, dial queue, string and text dialing, tone time and volume, start-up
// and shutdown with the settings file. Written once against the form engine; every platform
// binding runs this same class.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/device.h"
#include "audio/output.h"
#include "dialer/forms/form.h"
#include "dialer/settings_place.h"
#include "synth/slope_filter.h"

namespace dialer {

// Opens the default sound device, delivering its notifications through the given dispatcher.
using SoundOpener = std::function<std::unique_ptr<audio::SoundDevice>(audio::Dispatcher&)>;

// The dial queue's ring: positions wrap after this slot, so at most this many tones can wait.
inline constexpr int16_t kQueueLastSlot = 32000;

class Form1 final : public forms::Form, private audio::EventSink {
 public:
  Form1(forms::Binding& binding, SoundOpener open_sound);

  // The controls, in the order the window stores them.
  forms::TextBox Text6;
  forms::TextBox Text5;
  forms::Timer Timer2;
  forms::TextBox Text4;
  forms::TextBox Text3;
  forms::Timer Timer1;
  forms::ScrollBar VScroll1;
  forms::TextBox Text2;
  forms::Button Command3;
  forms::TextBox Text1;
  forms::ControlArray<forms::Button, 16> Command2;
  forms::Decoration Line2;
  forms::Decoration Line1;
  forms::Decoration Image1;
  forms::Label Label2;
  forms::Label Label1;

  void Form_Load() override;
  void InitAll();
  void Form_QueryUnload(int16_t& cancel, int16_t unload_mode) override;
  void Text4_Click();

  // Returns false when the key was refused because the dial queue is full.
  bool Command2_MouseDown(int16_t index, int16_t button, int16_t shift, float x, float y);
  void DirectXEvent8_DXCallBack(int32_t EventID);
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
  bool QueueFull() const;
  // Presses keys for a run of dialing; tells the user once if the queue refused some.
  void PressAll(size_t presses, const std::function<int16_t(size_t)>& key_at);
  void ShowVolume();
  void RestartTimer(forms::Timer& timer);
  void ReadSettings();

  SettingsPlace settings_;
};

// The key index a dial-string character presses: 0..15, or -1 (a pause) for any other character.
int16_t DialKeyIndex(char16_t c);

}  // namespace dialer
