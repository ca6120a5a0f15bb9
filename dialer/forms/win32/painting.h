// The Win32 binding's drawing: the GDI objects its controls use, the colours of its edits and
// statics, and the lines painted on the window itself. For the binding's own files.
#pragma once

#include <map>
#include <string_view>
#include <tuple>
#include <vector>

#include "dialer/forms/form.h"
#include "runtime/win32.h"

namespace forms::win32 {

COLORREF Color(const Rgb& c);

// Fonts, brushes and pictures the window's controls use, released with the window.
class GdiObjects {
 public:
  GdiObjects() = default;
  GdiObjects(const GdiObjects&) = delete;
  GdiObjects& operator=(const GdiObjects&) = delete;
  ~GdiObjects();

  // One font for each face, size and style, made at its first use; null when CreateFont fails
  // (the thread's last error says why).
  HFONT FontFor(const Font& def);
  // An object released with the others.
  void Keep(HGDIOBJ object) { objects_.push_back(object); }

 private:
  std::map<std::tuple<std::string_view, double, bool, bool>, HFONT> fonts_;
  std::vector<HGDIOBJ> objects_;
};

// The answer to WM_CTLCOLOREDIT or WM_CTLCOLORSTATIC for a control: `standard`, the window's
// default answer, with the control's own text colour set, or its own background brush `back`
// where the layout gives it one.
LRESULT ControlColors(HDC dc, const ControlDef& def, HBRUSH back, LRESULT standard);

// WM_PAINT: the form's visible lines, drawn on the window itself.
void PaintLines(HWND window, const Form& form);

}  // namespace forms::win32
