// Event scripts: a small window with one control of each kind, whose handlers record what they
// are given, the user's input as steps, and what the form engine makes of them: the controls'
// events and the captions the title bar shows, in order. The same table runs on the headless
// engine and on each binding, whose runner turns each step into its toolkit's own input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dialer/forms/controls.h"
#include "dialer/forms/form.h"
#include "runtime/utf8.h"

namespace support {

using forms::Align;
using forms::ControlDef;
using forms::Font;
using forms::Kind;

inline constexpr Font kBold{"Arial", 12, true, false};

constexpr ControlDef Key(int index, int left) {
  return {.name = "Key",
          .kind = Kind::Button,
          .index = index,
          .left = left,
          .top = 645,
          .width = 510,
          .height = 510,
          .tab = index,
          .text = std::u16string_view(u"123").substr(static_cast<size_t>(index), 1),
          .font = {"Arial", 14.25, true, false}};
}

// Front to back; the tab order differs from the stored one, and the label, stored first, is drawn
// beneath every control with a window of its own.
// clang-format off
inline constexpr ControlDef kEngineControls[] = {
    {.name = "Caption", .kind = Kind::Label, .left = 2250, .top = 3285,
     .width = 1725, .height = 330, .tab = 22, .text = u"Tone time", .font = kBold,
     .align = Align::Center},
    {.name = "Notes", .kind = Kind::TextBox, .left = 2250, .top = 3750,
     .width = 2400, .height = 600, .tab = 9, .text = u"Type here\r\n", .font = kBold,
     .multiline = true},
    // Covers Entry while it is shown.
    {.name = "Readout", .kind = Kind::TextBox, .left = 2250, .top = 105,
     .width = 2475, .height = 390, .tab = 8, .text = u"-", .font = kBold,
     .align = Align::Center, .visible = false},
    {.name = "Tick", .kind = Kind::Timer, .enabled = false, .interval_ms = 1500},
    // Lies over the picture.
    {.name = "Link", .kind = Kind::TextBox, .left = 165, .top = 3750,
     .width = 1920, .height = 255, .tab = 7, .text = u"www.example.org",
     .font = {"Arial", 8.25, false, true}, .align = Align::Center, .has_back = true,
     .back = {224, 224, 224}, .has_fore = true, .fore = {0, 0, 255}, .arrow_cursor = true},
    {.name = "Off", .kind = Kind::TextBox, .left = 4005, .top = 3240,
     .width = 750, .height = 375, .tab = 5, .text = u"40", .font = kBold,
     .align = Align::Center, .enabled = false},
    {.name = "Bar", .kind = Kind::ScrollBar, .left = 4800, .top = 630,
     .width = 300, .height = 3465, .tab = 6, .range = {1, 5001, 100, 600, 10}},
    {.name = "Entry", .kind = Kind::TextBox, .left = 2250, .top = 105,
     .width = 2475, .height = 390, .tab = 3, .text = u"40", .font = kBold},
    {.name = "Go", .kind = Kind::Button, .left = 4800, .top = 105, .width = 540,
     .height = 375, .tab = 4, .text = u"Play", .font = kBold},
    Key(0, 2250),
    Key(1, 2895),
    Key(2, 3540),
    // Below the client area.
    {.name = "Rule", .kind = Kind::Line, .left = -60, .top = 6285, .width = 6000,
     .height = 6285, .tab = -1, .has_fore = true, .fore = {128, 128, 128}},
    {.name = "Picture", .kind = Kind::Picture, .left = 135, .top = 135,
     .width = 1980, .height = 3900, .tab = -1, .artwork = "keypad", .sunken = true},
};
// clang-format on

inline constexpr forms::Layout kEngineLayout{.title = u"Engine test",
                                             .client_width = 5400,
                                             .client_height = 4500,
                                             .controls = kEngineControls};

// How the window stacks the controls shown, front to back (a binding without a window for the
// line leaves it out).
inline const std::vector<std::string> kFrontToBack = {
    "Notes",  "Readout", "Link",   "Off",     "Bar",  "Entry",  "Go",
    "Key(0)", "Key(1)",  "Key(2)", "Caption", "Rule", "Picture"};

inline std::string NameOf(const ControlDef& def) {
  const std::string name(def.name);
  return def.index < 0 ? name : name + "(" + std::to_string(def.index) + ")";
}

// Every control of the layout, of its kind, each event recorded in `log`: a button's MouseDown
// with its arguments (x and y in whole twips) and its Click, which also appends the button's
// caption to the window's, a character at a time; a text box's Click; a scroll bar's Scroll and
// Change with the value; QueryUnload. Tests may set handlers of their own.
class TableForm final : public forms::Form {
 public:
  explicit TableForm(forms::Binding& binding, const forms::Layout& layout = kEngineLayout)
      : forms::Form(binding, layout) {
    for (const ControlDef& def : layout.controls) owned_.push_back(Make(def));
  }

  template <typename T>
  T& Get(std::string_view name, int index = -1) {
    return dynamic_cast<T&>(*Find(name, index));
  }

  void Form_Load() override {}
  void Form_QueryUnload(int16_t&, int16_t) override {
    ++unloads;
    log.push_back("QueryUnload");
  }

  int unloads = 0;
  std::vector<std::string> log;

 private:
  std::unique_ptr<forms::Control> Make(const ControlDef& def) {
    const std::string name = NameOf(def);
    switch (def.kind) {
      case Kind::TextBox: {
        auto box = std::make_unique<forms::TextBox>(*this, def);
        box->Click = [this, name] { log.push_back(name + " Click"); };
        return box;
      }
      case Kind::Button: {
        auto button = std::make_unique<forms::Button>(*this, def);
        button->MouseDown = [this, name](int16_t b, int16_t s, float x, float y) {
          log.push_back(name + " MouseDown " + std::to_string(b) + " " + std::to_string(s) + " " +
                        std::to_string(static_cast<int>(x)) + " " +
                        std::to_string(static_cast<int>(y)));
        };
        button->Click = [this, name, &caption = button->Caption()] {
          log.push_back(name + " Click");
          for (char16_t c : caption) AppendCaption(std::u16string(1, c));
        };
        return button;
      }
      case Kind::ScrollBar: {
        auto bar = std::make_unique<forms::ScrollBar>(*this, def);
        forms::ScrollBar& b = *bar;
        b.Scroll = [this, name, &b] {
          log.push_back(name + " Scroll " + std::to_string(b.Value()));
        };
        b.Change = [this, name, &b] {
          log.push_back(name + " Change " + std::to_string(b.Value()));
        };
        return bar;
      }
      case Kind::Label:
        return std::make_unique<forms::Label>(*this, def);
      case Kind::Timer:
        return std::make_unique<forms::Timer>(*this, def);
      case Kind::Picture:
      case Kind::Line:
        return std::make_unique<forms::Decoration>(*this, def);
    }
    return nullptr;
  }

  std::vector<std::unique_ptr<forms::Control>> owned_;
};

// What the user does. A press, release or click is of `button` (1 left, 2 right, 4 middle) with
// `shift` (1 Shift, 2 Ctrl) at x, y in pixels from the control's corner; a double click is press,
// release, press, release there. EndSession: the session ends (a termination signal where the
// platform has no session message).
enum class Act {
  Press,
  Release,
  Click,
  DoubleClick,
  ThumbMove,
  ThumbRelease,
  Step,
  Close,
  EndSession
};

struct Input {
  Act act;
  std::string_view name{};
  int index = -1;
  int16_t button = 1;
  int16_t shift = 0;
  int x = 10, y = 5;
  int value = 0;  // where a thumb is moved or let go
  forms::ScrollStep step = forms::ScrollStep::LineDown;
};

struct Script {
  std::string_view what;
  std::vector<Input> inputs;
  // The log after the inputs, each title bar change as "title " and the caption.
  std::vector<std::string> out;
};

inline constexpr std::string_view kTitle = "title ";

inline std::string TitleEntry(const std::u16string& caption) {
  return std::string(kTitle) + runtime::ToUtf8(caption);
}

// A runner settles after each input (runs what the toolkit queued) and records each title bar
// change; a scroll bar whose widget shows another value than the control holds once no thumb is
// held (a held thumb the widget draws by itself) is recorded as "Bar shows N".
inline const std::vector<Script> kScripts = {
    {"every press of any mouse button is a MouseDown where it went down, a left click clicks",
     {{.act = Act::Press, .name = "Key", .index = 1, .x = 10, .y = 20},
      {.act = Act::Release, .name = "Key", .index = 1, .x = 10, .y = 20},
      {.act = Act::Click, .name = "Key", .index = 1, .button = 2, .shift = 1, .x = 10, .y = 20},
      {.act = Act::Click, .name = "Key", .index = 1, .button = 4, .shift = 2, .x = 10, .y = 20}},
     {"Key(1) MouseDown 1 0 150 300", "Key(1) Click", "title Engine test2",
      "Key(1) MouseDown 2 1 150 300", "Key(1) MouseDown 4 2 150 300"}},
    {"a double click on a button is two presses and two clicks",
     {{.act = Act::DoubleClick, .name = "Key", .index = 0, .x = 10, .y = 20}},
     {"Key(0) MouseDown 1 0 150 300", "Key(0) Click", "Key(0) MouseDown 1 0 150 300",
      "Key(0) Click", "title Engine test11"}},
    {"the captions of one event reach the title bar once, the last",
     {{.act = Act::Click, .name = "Go"}, {.act = Act::Click, .name = "Go"}},
     {"Go MouseDown 1 0 150 75", "Go Click", "title Engine testPlay", "Go MouseDown 1 0 150 75",
      "Go Click", "title Engine testPlayPlay"}},
    {"a text box clicks once per left click, double click or not, and not for a release elsewhere",
     {{.act = Act::Click, .name = "Link"},
      {.act = Act::Click, .name = "Link", .button = 4},
      {.act = Act::DoubleClick, .name = "Link"},
      {.act = Act::Press, .name = "Link"},
      {.act = Act::Release, .name = "Link", .x = -5, .y = -5},
      {.act = Act::Release, .name = "Link"}},
     {"Link Click", "Link Click"}},
    {"a dragged thumb scrolls as it moves and changes where it is let go, unless it is back",
     {{.act = Act::ThumbMove, .name = "Bar", .value = 3000},
      {.act = Act::ThumbMove, .name = "Bar", .value = 3100},
      {.act = Act::ThumbRelease, .name = "Bar", .value = 3100},
      {.act = Act::ThumbMove, .name = "Bar", .value = 3200},
      {.act = Act::ThumbMove, .name = "Bar", .value = 3100},
      {.act = Act::ThumbRelease, .name = "Bar", .value = 3100}},
     {"Bar Scroll 3000", "Bar Scroll 3100", "Bar Change 3100", "Bar Scroll 3200",
      "Bar Scroll 3100"}},
    {"arrows, track and keys change at once, by the layout's steps, and stop at the ends",
     {{.act = Act::Step, .name = "Bar", .step = forms::ScrollStep::LineDown},
      {.act = Act::Step, .name = "Bar", .step = forms::ScrollStep::PageDown},
      {.act = Act::Step, .name = "Bar", .step = forms::ScrollStep::PageUp},
      {.act = Act::Step, .name = "Bar", .step = forms::ScrollStep::Top},
      {.act = Act::Step, .name = "Bar", .step = forms::ScrollStep::LineUp},
      {.act = Act::Step, .name = "Bar", .step = forms::ScrollStep::Bottom}},
     {"Bar Change 110", "Bar Change 710", "Bar Change 110", "Bar Change 1", "Bar Change 5001"}},
    {"the window closes once, however often it is asked to",
     {{.act = Act::EndSession}, {.act = Act::Close}},
     {"QueryUnload"}},
};

}  // namespace support
