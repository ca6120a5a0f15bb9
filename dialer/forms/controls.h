// A window's layout as data: its title, its size and its controls, each with its place, look and
// initial state. Each window owns its layout; every binding renders it, so the window looks and
// tabs the same on every platform. Positions and sizes are in twips (15 per pixel at 96 dpi),
// measured from the top-left corner of the client area.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>

namespace forms {

inline constexpr int kTwipsPerPixel = 15;

enum class Kind { TextBox, Button, ScrollBar, Label, Picture, Line, Timer };
enum class Align { Left, Center };

struct Rgb {
  uint8_t r, g, b;
};

struct Font {
  std::string_view face;  // empty: the control has no font
  double points;
  bool bold;
  bool underline;
};

struct ScrollRange {
  int16_t min, max, small_change, large_change, value;
};

struct ControlDef {
  std::string_view name;
  Kind kind;
  int index = -1;  // position in a control array, -1 for a single control
  // For a line: x1, y1, x2, y2. A timer has no place on the window.
  int left = 0, top = 0, width = 0, height = 0;
  int tab = -1;  // tab order, -1 when not a tab stop
  std::u16string_view text{};
  Font font{};
  Align align = Align::Left;
  bool visible = true;
  bool enabled = true;
  bool multiline = false;
  bool has_back = false;
  Rgb back{};
  bool has_fore = false;  // a line without its own colour uses the system's window-text colour
  Rgb fore{};
  bool arrow_cursor = false;
  ScrollRange range{};
  int interval_ms = 0;
  std::string_view artwork{};  // a picture's image, by resource name
  bool sunken = false;         // a picture's sunken frame, two pixels wide
  // The typed characters that press a button while the focus is not in a text box.
  std::u16string_view keys{};
  // What a screen reader says of the control: its name (empty: a button's caption or a label's
  // text) and a description where the name alone is not enough.
  std::u16string_view accessible_name{};
  std::u16string_view accessible_description{};
};

struct Layout {
  std::u16string_view title;  // the window's caption at rest
  int client_width, client_height;
  // In the order the window stores them, which is front to back.
  std::span<const ControlDef> controls;

  // The definition of a control; a name the layout lacks is a programming error (logic_error).
  const ControlDef& Definition(std::string_view name, int index = -1) const;
};

// The rules every binding renders a layout by.

// Twips to whole pixels at 96 dpi, the nearest.
inline int Px(int twips) {
  return static_cast<int>(std::lround(static_cast<double>(twips) / kTwipsPerPixel));
}

// A font's character height in whole pixels at 96 dpi, whatever dpi the display reports, so that
// text keeps its place in the fixed layout.
inline int FontPixels(double points) {
  return static_cast<int>(std::lround(points * 96.0 / 72.0));
}

// Controls that can hold the keyboard focus.
inline bool TakesFocus(Kind kind) {
  return kind == Kind::TextBox || kind == Kind::Button || kind == Kind::ScrollBar;
}

inline bool IsTabStop(const ControlDef& def) {
  return TakesFocus(def.kind) && def.tab >= 0;
}

// Drawn on the window itself, beneath every control that has a window of its own.
inline bool Windowless(Kind kind) {
  return kind == Kind::Label || kind == Kind::Picture || kind == Kind::Line;
}

}  // namespace forms
