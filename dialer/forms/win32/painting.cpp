#include "dialer/forms/win32/painting.h"

#include <string>

#include "dialer/forms/win32/win32_binding.h"

namespace forms::win32 {

COLORREF Color(const Rgb& c) {
  return RGB(c.r, c.g, c.b);
}

int FontHeight(double points) {
  return -FontPixels(points);
}

GdiObjects::~GdiObjects() {
  for (auto& [key, font] : fonts_) DeleteObject(font);
  for (HGDIOBJ object : objects_) DeleteObject(object);
}

HFONT GdiObjects::FontFor(const Font& def) {
  const auto key = std::make_tuple(def.face, def.points, def.bold, def.underline);
  if (auto it = fonts_.find(key); it != fonts_.end()) return it->second;
  const std::wstring face(def.face.begin(), def.face.end());
  HFONT font =
      CreateFontW(FontHeight(def.points), 0, 0, 0, def.bold ? FW_BOLD : FW_NORMAL, FALSE,
                  def.underline ? TRUE : FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, face.c_str());
  if (font != nullptr) fonts_.emplace(key, font);
  return font;
}

LRESULT ControlColors(HDC dc, const ControlDef& def, HBRUSH back, LRESULT standard) {
  if (def.has_fore) SetTextColor(dc, Color(def.fore));
  if (!def.has_back) return standard;
  SetBkColor(dc, Color(def.back));
  return reinterpret_cast<LRESULT>(back);
}

void PaintLines(HWND window, const Form& form) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  for (Control* control : form.Controls()) {
    const ControlDef& def = control->def();
    if (def.kind != Kind::Line || !control->Visible()) continue;
    const COLORREF color = def.has_fore ? Color(def.fore) : GetSysColor(COLOR_WINDOWTEXT);
    HPEN pen = CreatePen(PS_SOLID, 1, color);
    HGDIOBJ old = SelectObject(dc, pen);
    // A line's four numbers are its two end points.
    MoveToEx(dc, Px(def.left), Px(def.top), nullptr);
    LineTo(dc, Px(def.width), Px(def.height));
    SelectObject(dc, old);
    DeleteObject(pen);
  }
  EndPaint(window, &paint);
}

}  // namespace forms::win32
