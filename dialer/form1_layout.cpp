// The dialer window's layout: its title, its size and its 31 controls, in the order the window
// stores them (front to back).
#include <array>
#include <iterator>
#include <string_view>

#include "dialer/form1.h"
#include "synth/tone_bank.h"

namespace dialer {
namespace {

using forms::Align;
using forms::ControlDef;
using forms::Font;
using forms::Kind;

constexpr Font kArial1125Bold{"Arial", 11.25, true, false};

// Text made of words and numbers at compile time, for the layout's strings that come from the
// rules they describe.
template <size_t N>
struct ComposedText {
  char16_t chars[N]{};
  size_t size = 0;

  constexpr void Append(std::u16string_view words) {
    for (char16_t c : words) chars[size++] = c;
  }
  constexpr void Append(long long number) {
    char16_t digits[20]{};
    int count = 0;
    do {
      digits[count++] = static_cast<char16_t>(u'0' + number % 10);
      number /= 10;
    } while (number > 0);
    while (count > 0) chars[size++] = digits[--count];
  }
  constexpr std::u16string_view View() const { return {chars, size}; }
};

template <size_t N, typename... Parts>
constexpr ComposedText<N> Compose(Parts... parts) {
  ComposedText<N> text;
  (text.Append(parts), ...);
  return text;
}

constexpr auto kInitialToneTimeText = Compose<8>(kInitialToneTime);
constexpr auto kToneTimeLimits =
    Compose<32>(u"From ", kShortestToneTime, u" to ", kLongestToneTime);

// What each keypad key sends, row by row as kKeyChars: its row's tone and its column's.
constexpr auto kKeyTones = [] {
  std::array<ComposedText<32>, std::size(kKeyChars)> tones;
  for (size_t key = 0; key < tones.size(); ++key) {
    tones[key] = Compose<32>(synth::RowFreq[key / 4], u" Hz and ", synth::ColFreq[key % 4], u" Hz");
  }
  return tones;
}();

// A keypad button; its caption is its place on the keypad, and its name.
constexpr ControlDef Key(int index, int left, int top) {
  return {.name = "Command2",
          .kind = Kind::Button,
          .index = index,
          .left = left,
          .top = top,
          .width = 510,
          .height = 510,
          .tab = index,
          .text = kKeyChars[index].substr(0, 1),
          .font = {"Arial", 14.25, true, false},
          .keys = kKeyChars[index],
          .accessible_name = kKeyChars[index].substr(0, 1),
          .accessible_description = kKeyTones[static_cast<size_t>(index)].View()};
}

constexpr std::array kControls = {
    ControlDef{.name = "Text6",
               .kind = Kind::TextBox,
               .left = 135,
               .top = 4215,
               .width = 5325,
               .height = 405,
               .tab = 25,
               .text = u"Type Text and press Enter\r\n",
               .font = {"Arial", 12, true, false},
               .multiline = true,
               .accessible_name = u"Text to send",
               .accessible_description = u"Enter sends each character as two tones"},
    ControlDef{.name = "Text5",
               .kind = Kind::TextBox,
               .left = 2280,
               .top = 105,
               .width = 2475,
               .height = 390,
               .tab = 24,
               .text = u"Volume:  - 50 dB",
               .font = {"Arial", 12, true, false},
               .align = Align::Center,
               .visible = false,
               .accessible_name = u"Volume read-out"},
    ControlDef{.name = "Timer2", .kind = Kind::Timer, .enabled = false, .interval_ms = 3000},
    ControlDef{.name = "Text4",
               .kind = Kind::TextBox,
               .left = 165,
               .top = 3750,
               .width = 1920,
               .height = 255,
               .tab = 23,
               .text = u"www.pelorin.example",
               .font = {"Arial", 8.25, false, true},
               .align = Align::Center,
               .has_back = true,
               .back = {224, 224, 224},
               .has_fore = true,
               .fore = {0, 0, 255},
               .arrow_cursor = true,
               .accessible_name = u"Web link",
               .accessible_description = u"A click opens the web site"},
    ControlDef{.name = "Text3",
               .kind = Kind::TextBox,
               .left = 4005,
               .top = 3720,
               .width = 750,
               .height = 375,
               .tab = 21,
               .text = kInitialToneTimeText.View(),
               .font = kArial1125Bold,
               .align = Align::Center,
               .enabled = false,
               .accessible_name = u"Break time in milliseconds",
               .accessible_description = u"The tone time in effect"},
    ControlDef{.name = "Timer1", .kind = Kind::Timer, .enabled = false, .interval_ms = 1500},
    ControlDef{.name = "VScroll1",
               .kind = Kind::ScrollBar,
               .left = 5025,
               .top = 630,
               .width = 300,
               .height = 3465,
               .tab = 20,
               // The arrows step one dB, the track six.
               .range = {kLoudestVolume, kQuietestVolume, kVolumeStepsPerDb, 6 * kVolumeStepsPerDb,
                         kInitialVolume},
               .accessible_name = u"Volume"},
    ControlDef{.name = "Text2",
               .kind = Kind::TextBox,
               .left = 4005,
               .top = 3240,
               .width = 750,
               .height = 375,
               .tab = 18,
               .text = kInitialToneTimeText.View(),
               .font = kArial1125Bold,
               .align = Align::Center,
               .accessible_name = u"Tone time in milliseconds",
               .accessible_description = kToneTimeLimits.View()},
    ControlDef{.name = "Command3",
               .kind = Kind::Button,
               .left = 4875,
               .top = 105,
               .width = 645,
               .height = 375,
               .tab = 17,
               .text = u"Play",
               .font = kArial1125Bold,
               .accessible_description = u"Plays the dial string, or stops the tones"},
    ControlDef{.name = "Text1",
               .kind = Kind::TextBox,
               .left = 2280,
               .top = 105,
               .width = 2475,
               .height = 390,
               .tab = 16,
               .font = {"Arial", 9.75, true, false},
               .accessible_name = u"Dial string",
               .accessible_description = u"The keys Play sends"},
    Key(0, 2280, 645),
    Key(1, 2925, 645),
    Key(2, 3585, 645),
    Key(3, 4230, 645),
    Key(4, 2265, 1290),
    Key(5, 2925, 1290),
    Key(6, 3585, 1290),
    Key(7, 4230, 1290),
    Key(8, 2280, 1935),
    Key(9, 2925, 1935),
    Key(10, 3600, 1935),
    Key(11, 4230, 1935),
    Key(12, 2280, 2580),
    Key(13, 2925, 2580),
    Key(14, 3585, 2580),
    Key(15, 4230, 2580),
    ControlDef{.name = "Line2",
               .kind = Kind::Line,
               .left = -60,
               .top = 6285,
               .width = 6000,
               .height = 6285,
               .has_fore = true,
               .fore = {128, 128, 128},
               .accessible_name = u"Separator"},
    ControlDef{.name = "Line1",
               .kind = Kind::Line,
               .left = -90,
               .top = 6300,
               .width = 5670,
               .height = 6300,
               .accessible_name = u"Separator"},
    ControlDef{.name = "Image1",
               .kind = Kind::Picture,
               .left = 135,
               .top = 135,
               .width = 1980,
               .height = 3900,
               .artwork = "keypad",
               .sunken = true,
               .accessible_name = u"Keypad of the dialer"},
    ControlDef{.name = "Label2",
               .kind = Kind::Label,
               .left = 2265,
               .top = 3765,
               .width = 1725,
               .height = 330,
               .tab = 22,
               .text = u"Break time [ms]",
               .font = kArial1125Bold,
               .align = Align::Center},
    ControlDef{.name = "Label1",
               .kind = Kind::Label,
               .left = 2265,
               .top = 3285,
               .width = 1725,
               .height = 330,
               .tab = 19,
               .text = u"Tone time  [ms]",
               .font = kArial1125Bold,
               .align = Align::Center},
};

constexpr forms::Layout kLayout{.title = u"Pelorin 1.0",
                                .client_width = 5595,   // 373 pixels
                                .client_height = 4215,  // 281 pixels
                                .controls = kControls};

}  // namespace

const forms::Layout& Form1Layout() {
  return kLayout;
}

}  // namespace dialer
