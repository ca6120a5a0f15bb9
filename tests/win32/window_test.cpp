// The Win32 window for real under Wine, with the real DirectSound device: the frame, the layout,
// fonts, colours, stacking and tab order of the control table, and every path by which user input
// reaches the window's logic, driven through the controls' own window messages; and the event
// scripts, each on a window of its own. Run it from a folder of its own: it writes the settings
// file beside itself.
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "audio/dsound/dsound_device.h"
#include "dialer/form1.h"
#include "dialer/forms/win32/win32_binding.h"
#include "runtime/error.h"
#include "runtime/folders.h"
#include "runtime/text_file.h"
#include "runtime/win32.h"
#include "tests/support/checks.h"
#include "tests/support/event_scripts.h"
#include "tests/support/keypad_keys.h"

using forms::Control;
using forms::Kind;
using forms::Px;
using support::Checks;

namespace {

Checks checks;

std::u16string TextOf(HWND hwnd) {
  wchar_t text[512] = {};
  GetWindowTextW(hwnd, text, 512);
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::string Name(const Control& c) {
  const std::string name(c.def().name);
  return c.def().index < 0 ? name : name + "(" + std::to_string(c.def().index) + ")";
}

class Session {
 public:
  Session()
      : binding_(GetModuleHandleW(nullptr)),
        form_(binding_, [](runtime::Dispatcher& d) { return audio::OpenDirectSound(d); }) {}

  forms::win32::Win32Binding& binding() { return binding_; }
  dialer::Form1& form() { return form_; }
  HWND window() const { return static_cast<HWND>(binding_.Window()); }
  HWND Of(const Control& c) const { return static_cast<HWND>(binding_.ChildOf(c)); }

  // Runs the message loop as the program does, until done() holds or max_ms pass.
  bool PumpUntil(const std::function<bool()>& done, DWORD max_ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
      if (GetTickCount() - start > max_ms) return false;
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (binding_.Navigate(&msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
  }
  void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    PumpUntil([&] { return GetTickCount() - start >= ms; }, ms + 1000);
  }

 private:
  forms::win32::Win32Binding binding_;
  dialer::Form1 form_;
};

void SetKey(int key, bool down) {
  BYTE state[256];
  GetKeyboardState(state);
  state[key] = down ? 0x80 : 0;
  SetKeyboardState(state);
}

void CheckFrame(Session& s) {
  HWND window = s.window();
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  checks.Expect((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU),
                "frame: caption and system menu");
  checks.Expect(!(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)),
                "frame: fixed size, no minimise or maximise box");
  RECT client;
  GetClientRect(window, &client);
  checks.ExpectEq(client.right, 373L, "frame: client width");
  checks.ExpectEq(client.bottom, 281L, "frame: client height");
  checks.ExpectEq(TextOf(window), std::u16string(u"Pelorin 1.0"), "frame: title");
  HMENU menu = GetSystemMenu(window, FALSE);
  checks.Expect(GetMenuState(menu, SC_SIZE, MF_BYCOMMAND) == UINT(-1) &&
                    GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND) == UINT(-1) &&
                    GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) != UINT(-1),
                "frame: system menu offers Close but no Size or Maximize");
  ICONINFO icon{};
  const auto big = reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICON));
  BITMAP mask{};
  if (big != nullptr && GetIconInfo(big, &icon)) {
    GetObjectW(icon.hbmMask, sizeof mask, &mask);
    DeleteObject(icon.hbmMask);
    if (icon.hbmColor) DeleteObject(icon.hbmColor);
  }
  checks.Expect(mask.bmWidth == 24 && mask.bmHeight == 24, "frame: a 24 x 24 icon");
}

void CheckLayout(Session& s) {
  dialer::Form1& form = s.form();
  std::vector<HWND> stacking;
  for (HWND w = GetWindow(s.window(), GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
    stacking.push_back(w);
  }
  const auto depth = [&](const Control& c) {
    return std::find(stacking.begin(), stacking.end(), s.Of(c)) - stacking.begin();
  };
  for (Control* c : form.Controls()) {
    const forms::ControlDef& def = c->def();
    HWND hwnd = s.Of(*c);
    if (def.kind == Kind::Timer || def.kind == Kind::Line) {
      checks.Expect(hwnd == nullptr, Name(*c) + ": no window of its own");
      continue;
    }
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, s.window(), reinterpret_cast<POINT*>(&r), 2);
    checks.Expect(r.left == Px(def.left) && r.top == Px(def.top) &&
                      r.right - r.left == Px(def.width) && r.bottom - r.top == Px(def.height),
                  Name(*c) + ": at the table's pixels");
    checks.ExpectEq(IsWindowVisible(hwnd) != FALSE, c->Visible(), Name(*c) + ": visibility");
    checks.ExpectEq(IsWindowEnabled(hwnd) != FALSE, c->Enabled(), Name(*c) + ": enabled");
    if (!def.font.face.empty()) {
      LOGFONTW font{};
      GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)), sizeof font, &font);
      checks.Expect(font.lfHeight == forms::win32::FontHeight(def.font.points) &&
                        (font.lfWeight >= FW_BOLD) == def.font.bold &&
                        (font.lfUnderline != 0) == def.font.underline &&
                        std::wstring(font.lfFaceName) == L"Arial",
                    Name(*c) + ": font");
    }
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    if (def.kind == Kind::TextBox) {
      checks.ExpectEq((style & ES_CENTER) != 0, def.align == forms::Align::Center,
                      Name(*c) + ": centred as the table says");
      checks.ExpectEq((style & (ES_MULTILINE | ES_WANTRETURN)) == (ES_MULTILINE | ES_WANTRETURN),
                      def.multiline, Name(*c) + ": multi-line as the table says");
    }
  }
  checks.ExpectEq(forms::win32::FontHeight(8.25), -11, "font: 8.25 pt is 11 pixels");
  checks.ExpectEq(forms::win32::FontHeight(14.25), -19, "font: 14.25 pt is 19 pixels");
  checks.Expect(depth(form.Text5) < depth(form.Text1), "stacking: Text5 covers Text1");
  checks.Expect(depth(form.Text4) < depth(form.Image1), "stacking: Text4 lies over Image1");
  checks.Expect(
      depth(form.Command2[15]) < depth(form.Label2) && depth(form.Text6) < depth(form.Image1),
      "stacking: labels and the picture beneath every windowed control");

  HWND image = s.Of(form.Image1);
  RECT inside;
  GetClientRect(image, &inside);
  BITMAP picture{};
  GetObjectW(reinterpret_cast<HBITMAP>(SendMessageW(image, STM_GETIMAGE, IMAGE_BITMAP, 0)),
             sizeof picture, &picture);
  checks.Expect(inside.right == 128 && inside.bottom == 256 && picture.bmWidth == 128 &&
                    picture.bmHeight == 256 &&
                    (GetWindowLongW(image, GWL_EXSTYLE) & WS_EX_CLIENTEDGE),
                "Image1: the 128 x 256 picture in a 2-pixel sunken frame");

  HDC dc = CreateCompatibleDC(nullptr);
  const auto brush = reinterpret_cast<HBRUSH>(
      SendMessageW(s.window(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                   reinterpret_cast<LPARAM>(s.Of(form.Text4))));
  LOGBRUSH fill{};
  GetObjectW(brush, sizeof fill, &fill);
  checks.Expect(GetTextColor(dc) == RGB(0, 0, 255) && GetBkColor(dc) == RGB(224, 224, 224) &&
                    fill.lbColor == RGB(224, 224, 224),
                "Text4: blue text on light grey");
  SendMessageW(s.window(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(s.Of(form.Text1)));
  checks.Expect(GetTextColor(dc) == GetSysColor(COLOR_WINDOWTEXT),
                "Text1: the system's text colour");
  DeleteDC(dc);
}

std::vector<std::string> TabWalk(Session& s, bool backwards, int steps) {
  SetKey(VK_SHIFT, backwards);
  std::vector<std::string> walk;
  for (int i = 0; i < steps; ++i) {
    MSG tab{GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {}};
    s.binding().Navigate(&tab);
    for (Control* c : s.form().Controls()) {
      if (s.Of(*c) == GetFocus()) walk.push_back(Name(*c));
    }
  }
  SetKey(VK_SHIFT, false);
  return walk;
}

void CheckTabOrder(Session& s) {
  dialer::Form1& form = s.form();
  std::vector<std::string> expected;
  for (int i = 1; i < 16; ++i) expected.push_back(Name(form.Command2[i]));
  for (const char* name : {"Text1", "Command3", "Text2", "VScroll1", "Text4", "Text6"}) {
    expected.push_back(name);
  }
  expected.push_back("Command2(0)");
  form.Text5.SetVisible(false);
  SetFocus(s.Of(form.Command2[0]));
  checks.ExpectEq(TabWalk(s, false, 22) == expected, true,
                  "tab order: the keypad, Text1, Command3, Text2, VScroll1, Text4, Text6, "
                  "skipping the disabled Text3 and the hidden Text5");
  SetFocus(s.Of(form.Command2[0]));
  checks.Expect(TabWalk(s, true, 1) == std::vector<std::string>{"Text6"},
                "tab order: Shift+Tab from the first key reaches Text6");
  form.Text5.SetVisible(true);
  SetFocus(s.Of(form.Text4));
  checks.Expect(TabWalk(s, false, 2) == std::vector<std::string>{"Text5", "Text6"},
                "tab order: a visible Text5 comes between Text4 and Text6");
  form.Text5.SetVisible(false);
}

void Press(HWND button, UINT down, UINT up) {
  SendMessageW(button, down, 0, MAKELPARAM(10, 10));
  SendMessageW(button, up, 0, MAKELPARAM(10, 10));
}

void CheckKeypad(Session& s) {
  dialer::Form1& form = s.form();
  s.PumpUntil([&] { return form.Caption() == u"Pelorin 1.0" && !form.IsDialing; }, 10000);
  Press(s.Of(form.Command2[4]), WM_LBUTTONDOWN, WM_LBUTTONUP);
  checks.Expect(form.IsDialing && form.Command3.Caption() == u"Stop" &&
                    TextOf(s.Of(form.Command3)) == u"Stop",
                "keypad: a left press starts the sequence at once");
  Press(s.Of(form.Command2[5]), WM_RBUTTONDOWN, WM_RBUTTONUP);
  Press(s.Of(form.Command2[6]), WM_MBUTTONDOWN, WM_MBUTTONUP);
  HWND seven = s.Of(form.Command2[7]);
  SetFocus(seven);
  // Space the button handles itself (as an accessible action's click would come) sounds once.
  SendMessageW(seven, WM_KEYDOWN, VK_SPACE, 0);
  SendMessageW(seven, WM_KEYUP, VK_SPACE, 0);
  MSG enter{seven, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
  checks.Expect(s.binding().Navigate(&enter), "keypad: Enter on a key is used up");
  MSG enter_up{seven, WM_KEYUP, VK_RETURN, 0, 0, {}};
  checks.Expect(s.binding().Navigate(&enter_up), "keypad: so is its release");
  s.Pump(50);
  checks.ExpectEq(TextOf(s.window()), std::u16string(u" 456BB"),
                  "keypad: right and middle presses sound too, and Space and Enter on a key");
  checks.Expect(s.PumpUntil([&] { return form.Command3.Caption() == u"Play"; }, 15000),
                "keypad: the sequence plays out through the sound notifications and stops");
  checks.Expect(s.PumpUntil([&] { return TextOf(s.window()) == u"Pelorin 1.0"; }, 15000),
                "keypad: the title comes back after the last key");
}

// A key as the keyboard sends it to the focus: its down, through the message loop, then its up.
void SendKey(Session& s, UINT vk, bool shift, bool up, bool repeat = false) {
  SetKey(VK_SHIFT, shift);
  LPARAM lp = 1 | (static_cast<LPARAM>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)) << 16);
  if (repeat || up) lp |= LPARAM{1} << 30;
  if (up) lp |= LPARAM{1} << 31;
  PostMessageW(GetFocus(), up ? WM_KEYUP : WM_KEYDOWN, vk, lp);
  s.Pump(20);
  SetKey(VK_SHIFT, false);
}

// What MSAA names each control by: a button's or a label's own text, and for the others the
// static text just before them in the z-order.
void CheckNames(Session& s) {
  for (Control* c : s.form().Controls()) {
    const forms::ControlDef& def = c->def();
    HWND hwnd = s.Of(*c);
    if (hwnd == nullptr) continue;
    std::u16string name = TextOf(hwnd);
    if (def.kind != Kind::Button && def.kind != Kind::Label) {
      HWND label = GetWindow(hwnd, GW_HWNDPREV);
      wchar_t cls[16] = {};
      if (label != nullptr) GetClassNameW(label, cls, 16);
      RECT r{};
      if (label != nullptr) GetWindowRect(label, &r);
      checks.Expect(label != nullptr && lstrcmpiW(cls, L"STATIC") == 0 && IsRectEmpty(&r),
                    Name(*c) + ": a static of no size before it names it");
      name = label != nullptr ? TextOf(label) : u"";
      checks.ExpectEq(name, std::u16string(def.accessible_name), Name(*c) + ": its name");
    }
    checks.Expect(!name.empty(), Name(*c) + ": a name for screen readers");
  }
}

void CheckTypedKeys(Session& s) {
  dialer::Form1& form = s.form();
  std::vector<int> pressed;
  std::vector<std::function<void(int16_t, int16_t, float, float)>> saved;
  for (int i = 0; i < 16; ++i) {
    saved.push_back(form.Command2[i].MouseDown);
    form.Command2[i].MouseDown = [&pressed, i](int16_t, int16_t, float, float) {
      pressed.push_back(i);
    };
  }
  SetFocus(s.Of(form.Command2[1]));
  // The pad types digits with Num Lock on.
  BYTE state[256];
  GetKeyboardState(state);
  state[VK_NUMLOCK] = 0x01;
  SetKeyboardState(state);
  for (const auto& k : support::kTypedKeys) {
    const SHORT scan = VkKeyScanW(static_cast<wchar_t>(k.typed));
    UINT vk = LOBYTE(scan);
    const bool shift = !k.keypad && (HIBYTE(scan) & 1);
    if (k.keypad) {
      vk = k.typed == u'*' ? VK_MULTIPLY : k.typed == u'+' ? VK_ADD : VK_NUMPAD0 + (k.typed - u'0');
    }
    const std::string name = std::string(k.keypad ? "keypad " : "") + char(k.typed);
    pressed.clear();
    SendKey(s, vk, shift, false);
    const bool down = k.index >= 0 &&
                      (SendMessageW(s.Of(form.Command2[k.index]), BM_GETSTATE, 0, 0) & BST_PUSHED);
    checks.Expect(pressed == (k.index < 0 ? std::vector<int>{} : std::vector<int>{k.index}) &&
                      down == (k.index >= 0),
                  "typed keys: " + name + " presses its key and shows it pushed");
    SendKey(s, vk, shift, true);
    checks.Expect(k.index < 0 ||
                      !(SendMessageW(s.Of(form.Command2[k.index]), BM_GETSTATE, 0, 0) & BST_PUSHED),
                  "typed keys: " + name + " lets its key up");
  }
  pressed.clear();
  SendKey(s, '5', false, false);
  SendKey(s, '5', false, false, true);
  SendKey(s, VK_SPACE, false, false);
  SendKey(s, VK_SPACE, false, true);
  SendKey(s, '5', false, true);
  checks.Expect(pressed == std::vector<int>{5, 1},
                "typed keys: a held key presses once; Space presses the focused key");
  for (int i = 0; i < 16; ++i) form.Command2[i].MouseDown = saved[static_cast<size_t>(i)];
}

void Type(HWND box, const std::u16string& text) {
  for (char16_t c : text) SendMessageW(box, WM_CHAR, c, 0);
}

void CheckTextBoxes(Session& s) {
  dialer::Form1& form = s.form();
  int key_ups = 0;
  int16_t last_shift = -1;
  int focus = 0;
  form.Text1.KeyUp = [&](int16_t, int16_t shift) {
    ++key_ups;
    last_shift = shift;
  };
  form.Text1.GotFocus = [&] { ++focus; };
  HWND text1 = s.Of(form.Text1);
  form.Text1.SetText(u"A,b");
  checks.Expect(TextOf(text1) == u"A,b" && form.Text1.Text() == u"A,b" && key_ups == 0,
                "Text1: a program assignment shows and raises nothing");
  SetFocus(text1);
  SendMessageW(text1, EM_SETSEL, 3, 3);
  Type(text1, u"9");
  SetKey(VK_SHIFT, true);
  SendMessageW(text1, WM_KEYUP, '9', 0);
  SetKey(VK_SHIFT, false);
  checks.Expect(form.Text1.Text() == u"A,b9" && key_ups == 1 && last_shift == 1 && focus == 1,
                "Text1: typing reaches the text before the key-up, with the shift state");

  HWND text2 = s.Of(form.Text2);
  SetFocus(text2);
  SendMessageW(text2, EM_SETSEL, 0, -1);
  Type(text2, u"100");
  SendMessageW(text2, WM_KEYUP, '0', 0);
  checks.Expect(form.Text2.Text() == u"100" && form.BlockSamples == 2206 &&
                    form.Text3.Text() == u"100" && TextOf(s.Of(form.Text3)) == u"100",
                "Text2: typing a tone time rebuilds the bank and shows it in Text3");

  int clicks = 0;
  form.Text4.Click = [&] { ++clicks; };
  HWND text4 = s.Of(form.Text4);
  Press(text4, WM_LBUTTONDOWN, WM_LBUTTONUP);
  checks.ExpectEq(clicks, 1, "Text4: a click");
  SetCursor(nullptr);
  SendMessageW(text4, WM_SETCURSOR, reinterpret_cast<WPARAM>(text4), MAKELPARAM(HTCLIENT, 0));
  checks.Expect(GetCursor() == LoadCursorA(nullptr, IDC_ARROW), "Text4: an arrow pointer");

  HWND text6 = s.Of(form.Text6);
  SetFocus(text6);
  checks.Expect(form.Text6.Text().empty() && TextOf(text6).empty(),
                "Text6: entering it removes the prompt");
  Type(text6, u"A\r");
  checks.ExpectEq(form.Text6.Text(), std::u16string(u"A\r\n"), "Text6: Enter types CR LF");
  SendMessageW(text6, WM_KEYUP, VK_RETURN, 0);
  s.Pump(50);
  const std::u16string title = TextOf(s.window());
  checks.Expect(form.Text6.Text().empty() && TextOf(text6).empty() && title.size() >= 6 &&
                    title.substr(title.size() - 6) == u"421019",
                "Text6: the key-up of Enter sends A, CR and LF and empties the box");
  SendMessageW(text6, WM_KEYDOWN, VK_ESCAPE, 0);
  SendMessageW(text6, WM_CHAR, VK_ESCAPE, 0);
  s.Pump(50);
  checks.Expect(IsWindow(s.window()), "Text6: Escape leaves the window open");
}

void CheckScrollBar(Session& s) {
  dialer::Form1& form = s.form();
  int changes = 0;
  int scrolls = 0;
  auto change = form.VScroll1.Change;
  auto scroll = form.VScroll1.Scroll;
  form.VScroll1.Change = [&] {
    ++changes;
    change();
  };
  form.VScroll1.Scroll = [&] {
    ++scrolls;
    scroll();
  };
  HWND bar = s.Of(form.VScroll1);
  const auto send = [&](int code, int position = 0) {
    SendMessageW(s.window(), WM_VSCROLL, MAKEWPARAM(code, position), reinterpret_cast<LPARAM>(bar));
  };
  const auto at = [&](int value, int n_changes, int n_scrolls, const std::string& what) {
    checks.Expect(form.VScroll1.Value() == value && GetScrollPos(bar, SB_CTL) == value &&
                      changes == n_changes && scrolls == n_scrolls,
                  "VScroll1: " + what);
  };
  form.VScroll1.SetValue(2501);
  changes = 0;
  send(SB_LINEDOWN);
  at(2601, 1, 0, "an arrow step is 100");
  checks.Expect(IsWindowVisible(s.Of(form.Text5)) && form.Text5.Text() == u"Volume: - 26 dB",
                "VScroll1: a change shows the read-out over the dial string");
  send(SB_THUMBTRACK, 3000);
  send(SB_THUMBPOSITION, 3000);
  send(SB_ENDSCROLL);
  at(3000, 2, 1, "a drag scrolls as it goes and changes once at its end");
  form.VScroll1.SetValue(500);
  at(500, 3, 1, "a program assignment changes once and moves the thumb");
  checks.Expect(s.PumpUntil([&] { return !IsWindowVisible(s.Of(form.Text5)); }, 15000),
                "VScroll1: the read-out goes 1.5 s after the last change");
}

// The settings file as something the program did not make: a device is not read, nor a file
// larger than the bound; one marked read-only is kept, the save refused at once with the reason.
void CheckSettingsFiles(const std::string& folder) {
  checks.Expect(!runtime::ReadLines("NUL", 3), "settings files: a device is not read");
  const std::string large = folder + "\\large.ini";
  std::ofstream(large, std::ios::binary) << std::string(runtime::kMaxTextFileSize + 1, '5');
  checks.Expect(!runtime::ReadLines(large, 3), "settings files: one over the bound is not read");
  DeleteFileA(large.c_str());

  const std::string kept = folder + "\\read-only.ini";
  std::ofstream(kept, std::ios::binary) << "old\r\n";
  SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_READONLY);
  std::string error;
  try {
    runtime::ReplaceWithLines(kept, {"new"});
  } catch (const runtime::Error& e) {
    error = e.description();
  }
  checks.Expect(error.find("': the file is read-only") != std::string::npos,
                "settings files: a read-only one is refused with the reason: " + error);
  checks.Expect(runtime::ReadLines(kept, 3) == std::vector<std::string>{"old"},
                "settings files: a read-only one is kept");
  SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(kept.c_str());
}

void CheckClose(Session& s, const std::string& folder) {
  dialer::Form1& form = s.form();
  form.Text1.SetText(u"*0# x");
  PostMessageW(s.window(), WM_CLOSE, 0, 0);
  checks.Expect(s.PumpUntil([&] { return s.binding().Window() == nullptr; }, 10000),
                "close: WM_CLOSE closes the window");
  checks.Expect(!form.Output.Inspect().SoundBuffer, "close: the sound buffer is released");
  std::ifstream in(folder + "\\Sindrat.ini", std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  checks.ExpectEq(saved, std::string("*0# x\r\n100\r\n 500 \r\n \r\n \r\n"),
                  "close: the settings file is written");
}

// ---- The event scripts --------------------------------------------------------------------------

// The form whose title bar is recorded, and the window procedure the recording passes messages on
// to.
support::TableForm* titled = nullptr;
WNDPROC form_procedure = nullptr;

LRESULT CALLBACK RecordTitle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_SETTEXT && titled != nullptr) {
    titled->log.push_back(support::TitleEntry(reinterpret_cast<const char16_t*>(lp)));
  }
  return CallWindowProcW(form_procedure, hwnd, msg, wp, lp);
}

// A script's window, driven by the messages the system sends: mouse messages to the control (the
// second press of a double click as WM_xBUTTONDBLCLK, the classes having CS_DBLCLKS), WM_VSCROLL
// to the owner as a scroll bar control sends it, WM_ENDSESSION and WM_CLOSE.
class ScriptWindow {
 public:
  ScriptWindow() : binding_(GetModuleHandleW(nullptr)) {
    binding_.Build(form);
    form_procedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordTitle)));
    titled = &form;
  }
  ~ScriptWindow() {
    titled = nullptr;
    if (window() != nullptr) DestroyWindow(window());
    Settle();
  }
  ScriptWindow(const ScriptWindow&) = delete;
  ScriptWindow& operator=(const ScriptWindow&) = delete;

  HWND window() const { return static_cast<HWND>(binding_.Window()); }
  HWND Of(std::string_view name, int index = -1) const {
    return static_cast<HWND>(binding_.ChildOf(*form.Find(name, index)));
  }

  void Do(const support::Input& in) {
    using support::Act;
    if (in.act == Act::EndSession || in.act == Act::Close) {
      SendMessageW(window(), in.act == Act::Close ? WM_CLOSE : WM_ENDSESSION, TRUE, 0);
      return;
    }
    HWND child = Of(in.name, in.index);
    const auto scroll = [&](int code, int position) {
      SendMessageW(window(), WM_VSCROLL, MAKEWPARAM(code, position),
                   reinterpret_cast<LPARAM>(child));
    };
    switch (in.act) {
      case Act::Press:
        Mouse(child, in, Down(in.button));
        break;
      case Act::Release:
        Mouse(child, in, Down(in.button) + 1);
        break;
      case Act::Click:
        Mouse(child, in, Down(in.button));
        Mouse(child, in, Down(in.button) + 1);
        break;
      case Act::DoubleClick:
        Mouse(child, in, Down(in.button));
        Mouse(child, in, Down(in.button) + 1);
        Mouse(child, in, Down(in.button) + 2);
        Mouse(child, in, Down(in.button) + 1);
        break;
      case Act::ThumbMove:
        scroll(SB_THUMBTRACK, in.value);
        break;
      case Act::ThumbRelease:
        scroll(SB_THUMBPOSITION, in.value);
        scroll(SB_ENDSCROLL, 0);
        break;
      case Act::Step: {
        static constexpr int kCodes[] = {SB_LINEUP,   SB_LINEDOWN, SB_PAGEUP,
                                         SB_PAGEDOWN, SB_TOP,      SB_BOTTOM};
        scroll(kCodes[static_cast<int>(in.step)], 0);
        break;
      }
      default:
        break;
    }
  }

  // Runs what the messages left queued, as the program's loop does; `settled`: no thumb is held.
  void Settle(bool settled = true) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (binding_.Navigate(&msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (window() == nullptr || !settled) return;
    const int shown = GetScrollPos(Of("Bar"), SB_CTL);
    if (shown != form.Get<forms::ScrollBar>("Bar").Value()) {
      form.log.push_back("Bar shows " + std::to_string(shown));
    }
  }

  // The controls' windows front to back.
  std::vector<std::string> Stacking() const {
    std::vector<std::string> names;
    for (HWND w = GetWindow(window(), GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
      for (forms::Control* c : form.Controls()) {
        if (binding_.ChildOf(*c) == w) names.push_back(support::NameOf(c->def()));
      }
    }
    return names;
  }

 private:
  // WM_xBUTTONDOWN; + 1 is its WM_xBUTTONUP, + 2 its WM_xBUTTONDBLCLK.
  static UINT Down(int16_t button) {
    return button == 1 ? WM_LBUTTONDOWN : button == 2 ? WM_RBUTTONDOWN : WM_MBUTTONDOWN;
  }
  // The script's point counts from the control's outer corner; the message's from its client
  // area.
  static void Mouse(HWND child, const support::Input& in, UINT msg) {
    POINT client{0, 0};
    ClientToScreen(child, &client);
    RECT outer;
    GetWindowRect(child, &outer);
    const int x = in.x - (client.x - outer.left);
    const int y = in.y - (client.y - outer.top);
    WPARAM keys = (in.shift & 1 ? MK_SHIFT : 0) | (in.shift & 2 ? MK_CONTROL : 0);
    if (msg != Down(in.button) + 1) {
      keys |= in.button == 1 ? MK_LBUTTON : in.button == 2 ? MK_RBUTTON : MK_MBUTTON;
    }
    SendMessageW(child, msg, keys, MAKELPARAM(x, y));
  }

  forms::win32::Win32Binding binding_;

 public:
  support::TableForm form{binding_};
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : " | ") + line;
  return text;
}

void CheckScripts() {
  {
    ScriptWindow w;
    std::vector<std::string> expected = support::kFrontToBack;
    std::erase(expected, "Rule");  // painted on the window, no window of its own
    checks.Expect(w.Stacking() == expected,
                  "scripts: the windows stack as the engine says: " + Joined(w.Stacking()));
  }
  for (const support::Script& script : support::kScripts) {
    ScriptWindow w;
    for (const support::Input& in : script.inputs) {
      w.Do(in);
      w.Settle(in.act != support::Act::ThumbMove);
    }
    checks.Expect(w.form.log == script.out,
                  "scripts: " + std::string(script.what) + ": " + Joined(w.form.log));
  }
}

}  // namespace

int main() {
  checks.ExpectEq(forms::win32::FolderOf("C:\\Program Files\\Kavrel\\Kavrel.exe"),
                  std::string("C:\\Program Files\\Kavrel"), "folder: no trailing separator");
  checks.ExpectEq(forms::win32::FolderOf("D:\\Kavrel.exe"), std::string("D:\\"),
                  "folder: a drive's root keeps it");

  CheckScripts();

  Session s;
  const std::string folder = s.binding().ProgramFolder();
  {
    std::ofstream settings(folder + "\\Sindrat.ini", std::ios::binary);
    settings << "12\r\n40\r\n 2501 \r\n \r\n \r\n";
  }
  s.binding().Build(s.form());
  s.form().UserLoad();
  checks.Expect(s.form().Output.OutputReady(), "start-up: the DirectSound output is ready");
  checks.Expect(s.form().Text1.Text() == u"12" && TextOf(s.Of(s.form().Text1)) == u"12" &&
                    GetScrollPos(s.Of(s.form().VScroll1), SB_CTL) == 2501,
                "start-up: the settings file fills the controls");
  s.binding().Show(SW_SHOWNORMAL);
  s.Pump(100);
  checks.ExpectEq(s.form().SettingsPath(), folder + "\\Sindrat.ini",
                  "start-up: the settings file is beside the program");
  // The user's settings folder is made with its parents, from a drive's path; a file in the way
  // is named.
  runtime::CreateFolders(folder + "\\made\\Kavrel");
  const DWORD made = GetFileAttributesA((folder + "\\made\\Kavrel").c_str());
  checks.Expect(made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_DIRECTORY),
                "folders: made with their parents");
  try {
    runtime::CreateFolders(folder + "\\Sindrat.ini\\Kavrel");
    checks.Expect(false, "folders: a file in the way is an error");
  } catch (const runtime::Error& e) {
    checks.Expect(e.description().find("\\Sindrat.ini'") != std::string::npos,
                  "folders: the error names the folder: " + e.description());
  }

  CheckSettingsFiles(folder);

  CheckFrame(s);
  CheckLayout(s);
  CheckNames(s);
  CheckTabOrder(s);
  CheckKeypad(s);
  CheckTypedKeys(s);
  CheckTextBoxes(s);
  CheckScrollBar(s);
  CheckClose(s, folder);
  return checks.Finish();
}
