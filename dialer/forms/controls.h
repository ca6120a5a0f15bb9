// The dialer window's layout as data: every binding renders this one table, so the window looks
// and tabs the same on every platform. Positions and sizes are in twips (15 per pixel at 96 dpi),
// measured from the top-left corner of the client area.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace forms {

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidth = 5595;   // 373 pixels
inline constexpr int kClientHeight = 4215;  // 281 pixels
inline constexpr std::u16string_view kWindowTitle = u"Pelorin 1.0";
inline constexpr int kIconPixels = 24;

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
  int index;  // position in a control array, -1 for a single control
  // For a line: x1, y1, x2, y2.
  int left, top, width, height;
  int tab;  // tab order, -1 when not a tab stop
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
  int sunken_border = 0;       // pixels of sunken frame around a picture
};

// The controls in the order the window stores them.
std::span<const ControlDef> Form1Controls();
const ControlDef& ControlNamed(std::string_view name, int index = -1);

}  // namespace forms
