// The Win32 window for real under Wine, with the real DirectSound device: the frame, the layout,
// fonts, colours, stacking and tab order of the control table, and every path by which user input
// reaches the window's logic, driven through the controls' own window messages; and the event
// scripts, each on a window of its own. Run it from a folder of its own: it writes the settings
// file beside itself.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "tests/support/event_scripts.h"
#include "tests/support/keypad_keys.h"

using forms::Control;
using forms::Kind;
using forms::Px;

namespace {

std::u16string TextOf(HWND hwnd) {
  wchar_t text[512] = {};
  GetWindowTextW(hwnd, text, 512);
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::string Name(const Control& c) {
  const std::string name(c.def().name);
  return c.def().index < 0 ? name : name + "(" + std::to_string(c.def().index) + ")";
}

// The description of the runtime::Error that f raises; empty when it raises none.
template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const runtime::Error& e) {
    return e.description();
  }
  return "";
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

// The folder of this program, found apart from the code under test.
std::string ThisProgramsFolder() {
  char path[MAX_PATH];
  const std::string module(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return module.substr(0, module.find_last_of('\\'));
}

TEST(ProgramFolder, IsTheModulesFolderWithoutATrailingSeparatorButADrivesRoot) {
  EXPECT_EQ(forms::win32::FolderOf("C:\\Program Files\\Kavrel\\Kavrel.exe"),
            "C:\\Program Files\\Kavrel");
  EXPECT_EQ(forms::win32::FolderOf("D:\\Kavrel.exe"), "D:\\");
}

// A settings file beside the program, as a start finds it: dial string 12, 40 ms, volume 2501.
class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder_ + "\\Sindrat.ini", std::ios::binary)
        << "12\r\n40\r\n 2501 \r\n \r\n \r\n";
  }

  const std::string folder_ = ThisProgramsFolder();
};

// The user's settings folder is made with its parents, from a drive's path; a file in the way is
// named.
TEST_F(SettingsFileTest, FoldersAreMadeWithTheirParentsAndAFileInTheWayIsNamed) {
  runtime::CreateFolders(folder_ + "\\made\\Kavrel");
  const DWORD made = GetFileAttributesA((folder_ + "\\made\\Kavrel").c_str());
  EXPECT_TRUE(made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_DIRECTORY));
  const std::string error =
      ErrorOf([&] { runtime::CreateFolders(folder_ + "\\Sindrat.ini\\Kavrel"); });
  EXPECT_NE(error.find("\\Sindrat.ini'"), std::string::npos) << error;
}

// The settings file as something the program did not make: a device is not read, nor a file
// larger than the bound; one marked read-only is kept, the save refused at once with the reason.
TEST_F(SettingsFileTest, DevicesAndOversizedFilesAreNotReadAndAReadOnlyOneIsKept) {
  EXPECT_FALSE(runtime::ReadLines("NUL", 3)) << "a device";
  const std::string large = folder_ + "\\large.ini";
  std::ofstream(large, std::ios::binary) << std::string(runtime::kMaxTextFileSize + 1, '5');
  EXPECT_FALSE(runtime::ReadLines(large, 3)) << "one over the bound";
  DeleteFileA(large.c_str());

  const std::string kept = folder_ + "\\read-only.ini";
  std::ofstream(kept, std::ios::binary) << "old\r\n";
  SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_READONLY);
  const std::string error = ErrorOf([&] { runtime::ReplaceWithLines(kept, {"new"}); });
  EXPECT_NE(error.find("': the file is read-only"), std::string::npos) << error;
  EXPECT_EQ(runtime::ReadLines(kept, 3), std::vector<std::string>{"old"});
  SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(kept.c_str());
}

// Kavrel's window as the program starts it from that settings file: built, loaded and shown.
class WindowTest : public SettingsFileTest {
 protected:
  void SetUp() override {
    SettingsFileTest::SetUp();
    s_.binding().Build(form_);
    form_.UserLoad();
    s_.binding().Show(SW_SHOWNORMAL);
    s_.Pump(100);
  }

  // A window the test left open goes without the close's save, while its form is still there.
  void TearDown() override {
    if (s_.window() != nullptr) DestroyWindow(s_.window());
  }

  Session s_;
  dialer::Form1& form_ = s_.form();
};

TEST_F(WindowTest, StartsFromTheSettingsFileBesideTheProgramWithDirectSoundReady) {
  EXPECT_TRUE(form_.Output.OutputReady());
  EXPECT_EQ(form_.Text1.Text(), u"12");
  EXPECT_EQ(TextOf(s_.Of(form_.Text1)), u"12");
  EXPECT_EQ(GetScrollPos(s_.Of(form_.VScroll1), SB_CTL), 2501);
  EXPECT_EQ(form_.SettingsPath(), folder_ + "\\Sindrat.ini");
}

TEST_F(WindowTest, FrameIsFixedWithCaptionTitleCloseOnlyMenuAndIcon) {
  HWND window = s_.window();
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_TRUE((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU))
      << "caption and system menu";
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX))
      << "fixed size, no minimise or maximise box";
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, 373L);
  EXPECT_EQ(client.bottom, 281L);
  EXPECT_EQ(TextOf(window), u"Pelorin 1.0");
  HMENU menu = GetSystemMenu(window, FALSE);
  EXPECT_EQ(GetMenuState(menu, SC_SIZE, MF_BYCOMMAND), UINT(-1));
  EXPECT_EQ(GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND), UINT(-1));
  EXPECT_NE(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), UINT(-1));
  ICONINFO icon{};
  const auto big = reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICON));
  BITMAP mask{};
  if (big != nullptr && GetIconInfo(big, &icon)) {
    GetObjectW(icon.hbmMask, sizeof mask, &mask);
    DeleteObject(icon.hbmMask);
    if (icon.hbmColor) DeleteObject(icon.hbmColor);
  }
  EXPECT_TRUE(mask.bmWidth == 24 && mask.bmHeight == 24) << "a 24 x 24 icon";
}

TEST_F(WindowTest, ControlsHaveTheTablesPixelsFontsStatesStackingAndColours) {
  std::vector<HWND> stacking;
  for (HWND w = GetWindow(s_.window(), GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
    stacking.push_back(w);
  }
  const auto depth = [&](const Control& c) {
    return std::find(stacking.begin(), stacking.end(), s_.Of(c)) - stacking.begin();
  };
  for (Control* c : form_.Controls()) {
    SCOPED_TRACE(Name(*c));
    const forms::ControlDef& def = c->def();
    HWND hwnd = s_.Of(*c);
    if (def.kind == Kind::Timer || def.kind == Kind::Line) {
      EXPECT_EQ(hwnd, nullptr) << "no window of its own";
      continue;
    }
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, s_.window(), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_TRUE(r.left == Px(def.left) && r.top == Px(def.top) &&
                r.right - r.left == Px(def.width) && r.bottom - r.top == Px(def.height))
        << "at the table's pixels";
    EXPECT_EQ(IsWindowVisible(hwnd) != FALSE, c->Visible()) << "visibility";
    EXPECT_EQ(IsWindowEnabled(hwnd) != FALSE, c->Enabled()) << "enabled";
    if (!def.font.face.empty()) {
      LOGFONTW font{};
      GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)), sizeof font, &font);
      EXPECT_EQ(font.lfHeight, forms::win32::FontHeight(def.font.points));
      EXPECT_EQ(font.lfWeight >= FW_BOLD, def.font.bold);
      EXPECT_EQ(font.lfUnderline != 0, def.font.underline);
      EXPECT_EQ(std::wstring(font.lfFaceName), L"Arial");
    }
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    if (def.kind == Kind::TextBox) {
      EXPECT_EQ((style & ES_CENTER) != 0, def.align == forms::Align::Center)
          << "centred as the table says";
      EXPECT_EQ((style & (ES_MULTILINE | ES_WANTRETURN)) == (ES_MULTILINE | ES_WANTRETURN),
                def.multiline)
          << "multi-line as the table says";
    }
  }
  EXPECT_EQ(forms::win32::FontHeight(8.25), -11) << "8.25 pt is 11 pixels";
  EXPECT_EQ(forms::win32::FontHeight(14.25), -19) << "14.25 pt is 19 pixels";
  EXPECT_LT(depth(form_.Text5), depth(form_.Text1)) << "Text5 covers Text1";
  EXPECT_LT(depth(form_.Text4), depth(form_.Image1)) << "Text4 lies over Image1";
  EXPECT_TRUE(depth(form_.Command2[15]) < depth(form_.Label2) &&
              depth(form_.Text6) < depth(form_.Image1))
      << "labels and the picture beneath every windowed control";

  HWND image = s_.Of(form_.Image1);
  RECT inside;
  GetClientRect(image, &inside);
  BITMAP picture{};
  GetObjectW(reinterpret_cast<HBITMAP>(SendMessageW(image, STM_GETIMAGE, IMAGE_BITMAP, 0)),
             sizeof picture, &picture);
  EXPECT_TRUE(inside.right == 128 && inside.bottom == 256 && picture.bmWidth == 128 &&
              picture.bmHeight == 256 && (GetWindowLongW(image, GWL_EXSTYLE) & WS_EX_CLIENTEDGE))
      << "Image1: the 128 x 256 picture in a 2-pixel sunken frame";

  HDC dc = CreateCompatibleDC(nullptr);
  const auto brush = reinterpret_cast<HBRUSH>(
      SendMessageW(s_.window(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                   reinterpret_cast<LPARAM>(s_.Of(form_.Text4))));
  LOGBRUSH fill{};
  GetObjectW(brush, sizeof fill, &fill);
  EXPECT_TRUE(GetTextColor(dc) == RGB(0, 0, 255) && GetBkColor(dc) == RGB(224, 224, 224) &&
              fill.lbColor == RGB(224, 224, 224))
      << "Text4: blue text on light grey";
  SendMessageW(s_.window(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(s_.Of(form_.Text1)));
  EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT)) << "Text1: the system's text colour";
  DeleteDC(dc);
}

// What MSAA names each control by: a button's or a label's own text, and for the others the
// static text just before them in the z-order.
TEST_F(WindowTest, ScreenReadersFindEveryControlNamed) {
  for (Control* c : form_.Controls()) {
    SCOPED_TRACE(Name(*c));
    const forms::ControlDef& def = c->def();
    HWND hwnd = s_.Of(*c);
    if (hwnd == nullptr) continue;
    std::u16string name = TextOf(hwnd);
    if (def.kind != Kind::Button && def.kind != Kind::Label) {
      HWND label = GetWindow(hwnd, GW_HWNDPREV);
      wchar_t cls[16] = {};
      if (label != nullptr) GetClassNameW(label, cls, 16);
      RECT r{};
      if (label != nullptr) GetWindowRect(label, &r);
      EXPECT_TRUE(label != nullptr && lstrcmpiW(cls, L"STATIC") == 0 && IsRectEmpty(&r))
          << "a static of no size before it names it";
      name = label != nullptr ? TextOf(label) : u"";
      EXPECT_EQ(name, std::u16string(def.accessible_name));
    }
    EXPECT_FALSE(name.empty()) << "a name for screen readers";
  }
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

// The keypad, Text1, Command3, Text2, VScroll1, Text4 and Text6, skipping the disabled Text3 and
// a hidden Text5.
TEST_F(WindowTest, TabVisitsTheStopsInOrderSkippingDisabledAndHiddenOnes) {
  std::vector<std::string> expected;
  for (int i = 1; i < 16; ++i) expected.push_back(Name(form_.Command2[i]));
  for (const char* name : {"Text1", "Command3", "Text2", "VScroll1", "Text4", "Text6"}) {
    expected.push_back(name);
  }
  expected.push_back("Command2(0)");
  form_.Text5.SetVisible(false);
  SetFocus(s_.Of(form_.Command2[0]));
  EXPECT_EQ(TabWalk(s_, false, 22), expected);
  SetFocus(s_.Of(form_.Command2[0]));
  EXPECT_EQ(TabWalk(s_, true, 1), std::vector<std::string>{"Text6"})
      << "Shift+Tab from the first key";
  form_.Text5.SetVisible(true);
  SetFocus(s_.Of(form_.Text4));
  EXPECT_EQ(TabWalk(s_, false, 2), (std::vector<std::string>{"Text5", "Text6"}))
      << "a visible Text5 comes between Text4 and Text6";
}

void Press(HWND button, UINT down, UINT up) {
  SendMessageW(button, down, 0, MAKELPARAM(10, 10));
  SendMessageW(button, up, 0, MAKELPARAM(10, 10));
}

TEST_F(WindowTest, KeypadSoundsByEveryButtonSpaceAndEnterAndPlaysOutByTheNotifications) {
  s_.PumpUntil([&] { return form_.Caption() == u"Pelorin 1.0" && !form_.IsDialing; }, 10000);
  Press(s_.Of(form_.Command2[4]), WM_LBUTTONDOWN, WM_LBUTTONUP);
  EXPECT_TRUE(form_.IsDialing && form_.Command3.Caption() == u"Stop" &&
              TextOf(s_.Of(form_.Command3)) == u"Stop")
      << "a left press starts the sequence at once";
  Press(s_.Of(form_.Command2[5]), WM_RBUTTONDOWN, WM_RBUTTONUP);
  Press(s_.Of(form_.Command2[6]), WM_MBUTTONDOWN, WM_MBUTTONUP);
  HWND seven = s_.Of(form_.Command2[7]);
  SetFocus(seven);
  // Space the button handles itself (as an accessible action's click would come) sounds once.
  SendMessageW(seven, WM_KEYDOWN, VK_SPACE, 0);
  SendMessageW(seven, WM_KEYUP, VK_SPACE, 0);
  MSG enter{seven, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
  EXPECT_TRUE(s_.binding().Navigate(&enter)) << "Enter on a key is used up";
  MSG enter_up{seven, WM_KEYUP, VK_RETURN, 0, 0, {}};
  EXPECT_TRUE(s_.binding().Navigate(&enter_up)) << "so is its release";
  s_.Pump(50);
  EXPECT_EQ(TextOf(s_.window()), u" 456BB")
      << "right and middle presses sound too, and Space and Enter on a key";
  EXPECT_TRUE(s_.PumpUntil([&] { return form_.Command3.Caption() == u"Play"; }, 15000))
      << "the sequence plays out through the sound notifications and stops";
  EXPECT_TRUE(s_.PumpUntil([&] { return TextOf(s_.window()) == u"Pelorin 1.0"; }, 15000))
      << "the title comes back after the last key";
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

TEST_F(WindowTest, TypedKeysPressTheirKeysOnceWhileHeldAndSpaceTheFocusedOne) {
  std::vector<int> pressed;
  std::vector<std::function<void(int16_t, int16_t, float, float)>> saved;
  for (int i = 0; i < 16; ++i) {
    saved.push_back(form_.Command2[i].MouseDown);
    form_.Command2[i].MouseDown = [&pressed, i](int16_t, int16_t, float, float) {
      pressed.push_back(i);
    };
  }
  SetFocus(s_.Of(form_.Command2[1]));
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
    SCOPED_TRACE(std::string(k.keypad ? "keypad " : "") + char(k.typed));
    pressed.clear();
    SendKey(s_, vk, shift, false);
    const auto pushed = [&] {
      return (SendMessageW(s_.Of(form_.Command2[k.index]), BM_GETSTATE, 0, 0) & BST_PUSHED) != 0;
    };
    EXPECT_EQ(pressed, k.index < 0 ? std::vector<int>{} : std::vector<int>{k.index})
        << "presses its key";
    EXPECT_EQ(k.index >= 0 && pushed(), k.index >= 0) << "shows it pushed";
    SendKey(s_, vk, shift, true);
    EXPECT_TRUE(k.index < 0 || !pushed()) << "lets its key up";
  }
  pressed.clear();
  SendKey(s_, '5', false, false);
  SendKey(s_, '5', false, false, true);
  SendKey(s_, VK_SPACE, false, false);
  SendKey(s_, VK_SPACE, false, true);
  SendKey(s_, '5', false, true);
  EXPECT_EQ(pressed, (std::vector<int>{5, 1})) << "a held key presses once; Space the focused key";
  for (int i = 0; i < 16; ++i) form_.Command2[i].MouseDown = saved[static_cast<size_t>(i)];
}

void Type(HWND box, const std::u16string& text) {
  for (char16_t c : text) SendMessageW(box, WM_CHAR, c, 0);
}

TEST_F(WindowTest, TextBoxesPassTypingAssignmentsClicksAndEnterToTheForm) {
  int key_ups = 0;
  int16_t last_shift = -1;
  int focus = 0;
  form_.Text1.KeyUp = [&](int16_t, int16_t shift) {
    ++key_ups;
    last_shift = shift;
  };
  form_.Text1.GotFocus = [&] { ++focus; };
  HWND text1 = s_.Of(form_.Text1);
  form_.Text1.SetText(u"A,b");
  EXPECT_TRUE(TextOf(text1) == u"A,b" && form_.Text1.Text() == u"A,b" && key_ups == 0)
      << "Text1: a program assignment shows and raises nothing";
  SetFocus(text1);
  SendMessageW(text1, EM_SETSEL, 3, 3);
  Type(text1, u"9");
  SetKey(VK_SHIFT, true);
  SendMessageW(text1, WM_KEYUP, '9', 0);
  SetKey(VK_SHIFT, false);
  EXPECT_TRUE(form_.Text1.Text() == u"A,b9" && key_ups == 1 && last_shift == 1 && focus == 1)
      << "Text1: typing reaches the text before the key-up, with the shift state";

  HWND text2 = s_.Of(form_.Text2);
  SetFocus(text2);
  SendMessageW(text2, EM_SETSEL, 0, -1);
  Type(text2, u"100");
  SendMessageW(text2, WM_KEYUP, '0', 0);
  EXPECT_TRUE(form_.Text2.Text() == u"100" && form_.BlockSamples == 2206 &&
              form_.Text3.Text() == u"100" && TextOf(s_.Of(form_.Text3)) == u"100")
      << "Text2: typing a tone time rebuilds the bank and shows it in Text3";

  int clicks = 0;
  form_.Text4.Click = [&] { ++clicks; };
  HWND text4 = s_.Of(form_.Text4);
  Press(text4, WM_LBUTTONDOWN, WM_LBUTTONUP);
  EXPECT_EQ(clicks, 1) << "Text4: a click";
  SetCursor(nullptr);
  SendMessageW(text4, WM_SETCURSOR, reinterpret_cast<WPARAM>(text4), MAKELPARAM(HTCLIENT, 0));
  EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_ARROW)) << "Text4: an arrow pointer";

  HWND text6 = s_.Of(form_.Text6);
  SetFocus(text6);
  EXPECT_TRUE(form_.Text6.Text().empty() && TextOf(text6).empty())
      << "Text6: entering it removes the prompt";
  Type(text6, u"A\r");
  EXPECT_EQ(form_.Text6.Text(), u"A\r\n") << "Text6: Enter types CR LF";
  SendMessageW(text6, WM_KEYUP, VK_RETURN, 0);
  s_.Pump(50);
  const std::u16string title = TextOf(s_.window());
  EXPECT_TRUE(form_.Text6.Text().empty() && TextOf(text6).empty())
      << "Text6: the key-up of Enter empties the box";
  EXPECT_TRUE(title.size() >= 6 && title.substr(title.size() - 6) == u"421019")
      << "Text6: the key-up of Enter sends A, CR and LF";
  SendMessageW(text6, WM_KEYDOWN, VK_ESCAPE, 0);
  SendMessageW(text6, WM_CHAR, VK_ESCAPE, 0);
  s_.Pump(50);
  EXPECT_TRUE(IsWindow(s_.window())) << "Text6: Escape leaves the window open";
}

TEST_F(WindowTest, ScrollBarStepsDragsAndAssignmentsChangeOnceAndShowTheReadOut) {
  int changes = 0;
  int scrolls = 0;
  auto change = form_.VScroll1.Change;
  auto scroll = form_.VScroll1.Scroll;
  form_.VScroll1.Change = [&] {
    ++changes;
    change();
  };
  form_.VScroll1.Scroll = [&] {
    ++scrolls;
    scroll();
  };
  HWND bar = s_.Of(form_.VScroll1);
  const auto send = [&](int code, int position = 0) {
    SendMessageW(s_.window(), WM_VSCROLL, MAKEWPARAM(code, position),
                 reinterpret_cast<LPARAM>(bar));
  };
  const auto at = [&](int value, int n_changes, int n_scrolls, const std::string& what) {
    EXPECT_TRUE(form_.VScroll1.Value() == value && GetScrollPos(bar, SB_CTL) == value &&
                changes == n_changes && scrolls == n_scrolls)
        << what;
  };
  form_.VScroll1.SetValue(2501);
  changes = 0;
  send(SB_LINEDOWN);
  at(2601, 1, 0, "an arrow step is 100");
  EXPECT_TRUE(IsWindowVisible(s_.Of(form_.Text5)) && form_.Text5.Text() == u"Volume: - 26 dB")
      << "a change shows the read-out over the dial string";
  send(SB_THUMBTRACK, 3000);
  send(SB_THUMBPOSITION, 3000);
  send(SB_ENDSCROLL);
  at(3000, 2, 1, "a drag scrolls as it goes and changes once at its end");
  form_.VScroll1.SetValue(500);
  at(500, 3, 1, "a program assignment changes once and moves the thumb");
  EXPECT_TRUE(s_.PumpUntil([&] { return !IsWindowVisible(s_.Of(form_.Text5)); }, 15000))
      << "the read-out goes 1.5 s after the last change";
}

TEST_F(WindowTest, CloseReleasesTheSoundAndSavesTheSettingsFile) {
  form_.Text1.SetText(u"*0# x");
  form_.Text2.SetText(u"100");
  form_.VScroll1.SetValue(500);
  PostMessageW(s_.window(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(s_.PumpUntil([&] { return s_.binding().Window() == nullptr; }, 10000))
      << "WM_CLOSE closes the window";
  EXPECT_FALSE(form_.Output.Inspect().SoundBuffer) << "the sound buffer is released";
  std::ifstream in(folder_ + "\\Sindrat.ini", std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved, "*0# x\r\n100\r\n 500 \r\n \r\n \r\n");
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

TEST(EventScripts, WindowsStackAsTheEngineSays) {
  ScriptWindow w;
  std::vector<std::string> expected = support::kFrontToBack;
  std::erase(expected, "Rule");  // painted on the window, no window of its own
  EXPECT_EQ(w.Stacking(), expected);
}

TEST(EventScripts, RunOnTheWin32Binding) {
  for (const support::Script& script : support::kScripts) {
    SCOPED_TRACE(std::string(script.what));
    ScriptWindow w;
    for (const support::Input& in : script.inputs) {
      w.Do(in);
      w.Settle(in.act != support::Act::ThumbMove);
    }
    EXPECT_EQ(w.form.log, script.out);
  }
}

}  // namespace
