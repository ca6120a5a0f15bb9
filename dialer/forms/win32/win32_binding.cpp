#include "dialer/forms/win32/win32_binding.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dialer/forms/keys.h"
#include "dialer/forms/win32/call_queue.h"
#include "dialer/forms/win32/painting.h"
#include "runtime/error.h"
#include "runtime/win32.h"
// After runtime/win32.h, which they build on.
#include <shellapi.h>
#include <windowsx.h>

namespace forms::win32 {
namespace {

constexpr wchar_t kClassName[] = L"KavrelForm";
constexpr wchar_t kBindingProperty[] = L"KavrelBinding";
constexpr UINT kCallMessage = WM_APP + 1;
// Control ids stay clear of IDOK and IDCANCEL.
constexpr int kFirstId = 100;
// A fixed dialog frame: caption, system menu, no sizing border, no minimise or maximise box.
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_WINDOWEDGE;

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string TextOf(HWND hwnd) {
  const int length = GetWindowTextLengthW(hwnd);
  std::u16string text(static_cast<size_t>(length) + 1, u'\0');
  const int got = GetWindowTextW(hwnd, reinterpret_cast<wchar_t*>(text.data()), length + 1);
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}

// A key message's virtual-key code as the key events carry it: forms::Key names the system's own
// codes.
static_assert(Code(Key::Return) == VK_RETURN && Code(Key::Escape) == VK_ESCAPE &&
              Code(Key::Digit0) == '0' && Code(Key::A) == 'A' && Code(Key::Pad0) == VK_NUMPAD0 &&
              Code(Key::F1) == VK_F1 && Code(Key::Semicolon) == VK_OEM_1 &&
              Code(Key::Apostrophe) == VK_OEM_7);
int16_t KeyCode(WPARAM virtual_key) {
  return static_cast<int16_t>(virtual_key);
}

// Shift 1, Ctrl 2, Alt 4, as the key and mouse events give them.
int16_t ShiftNow() {
  int16_t state = 0;
  if (GetKeyState(VK_SHIFT) < 0) state |= 1;
  if (GetKeyState(VK_CONTROL) < 0) state |= 2;
  if (GetKeyState(VK_MENU) < 0) state |= 4;
  return state;
}

int16_t MouseShift(WPARAM keys) {
  int16_t state = 0;
  if (keys & MK_SHIFT) state |= 1;
  if (keys & MK_CONTROL) state |= 2;
  if (GetKeyState(VK_MENU) < 0) state |= 4;
  return state;
}

// The button of a mouse message, as MouseDown gives it: left 1, right 2, middle 4.
int16_t MouseButton(UINT msg) {
  switch (msg) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_LBUTTONUP:
      return 1;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_RBUTTONUP:
      return 2;
    default:
      return 4;
  }
}

// A mouse message's point, given in the client area's pixels, in twips from the window's outer
// corner instead, where the layout places the control (an edit's sunken edge lies outside its
// client area).
struct Twips {
  float x;
  float y;
};
Twips FromCorner(HWND hwnd, LPARAM lp) {
  POINT at{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  ClientToScreen(hwnd, &at);
  RECT outer;
  GetWindowRect(hwnd, &outer);
  return {static_cast<float>((at.x - outer.left) * kTwipsPerPixel),
          static_cast<float>((at.y - outer.top) * kTwipsPerPixel)};
}

[[noreturn]] void WindowFailure(const char* what) {
  const DWORD error = GetLastError();
  throw runtime::Error(static_cast<int32_t>(error),
                       std::string("The window could not be created (") + what +
                           " failed: " + runtime::CodeInWords(static_cast<HRESULT>(error)) + ")");
}

// A control's window.
struct Child {
  Control* control = nullptr;
  HWND hwnd = nullptr;
  WNDPROC original = nullptr;
  HBRUSH back = nullptr;
  // Set while the program writes the text: the edit's change notification is not the user's.
  bool updating = false;
  // The static of no size that names the control for screen readers, kept just in front of it in
  // the z-order; null when it has none.
  HWND name = nullptr;
};

}  // namespace

std::string FolderOf(const std::string& module_path) {
  const size_t cut = module_path.find_last_of("\\/");
  if (cut == std::string::npos) return {};
  std::string folder = module_path.substr(0, cut);
  // A drive's root keeps its separator: "C:" alone would name the drive's current folder.
  if (folder.empty() || (folder.size() == 2 && folder[1] == ':')) folder += '\\';
  return folder;
}

struct Win32Binding::Impl {
  explicit Impl(HINSTANCE module) : instance(module) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (window != nullptr) DestroyWindow(window);
  }

  static LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK ChildProcedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  void Build(Form& built);
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT OnChildMessage(Child& child, UINT msg, WPARAM wp, LPARAM lp);
  void MakeChild(Control& control, int id);
  void OnCommand(Child& child, unsigned code);
  // Offers a key going down on a child other than an edit to the form; true when it was
  // delivered or used up, false when the window's keyboard interface is to handle it.
  bool OfferKey(const MSG& msg);
  void OnScroll(Child& child, unsigned code, unsigned position);
  LRESULT OnColor(UINT msg, HDC dc, HWND hwnd);
  void MoveFocus(bool backwards);
  // Gives the focus back to the control that had it, or to the first tab stop.
  void RestoreFocus();
  Child* Find(HWND hwnd) const;
  Child* ChildOf(const Control& control) const;
  // The id of a timer: its position + 1, or 0 when the form has no such timer.
  UINT_PTR TimerId(const Timer& timer) const;

  const HINSTANCE instance;
  HWND window = nullptr;
  Form* form = nullptr;
  std::vector<std::unique_ptr<Child>> children;
  std::unordered_map<const Control*, Child*> by_control;
  std::unordered_map<HWND, Child*> by_window;
  std::vector<Timer*> timers;
  GdiObjects gdi;
  // Where calls posted from any thread go; null once the window is going.
  std::atomic<HWND> post_target{nullptr};
  CallQueue calls{kCallMessage};
  HWND focus = nullptr;  // the child that had the focus when the window was last deactivated
};

LRESULT CALLBACK Win32Binding::Impl::WindowProcedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_NCCREATE) {
    self = static_cast<Impl*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window = hwnd;
  }
  if (self == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  return self->OnMessage(msg, wp, lp);
}

LRESULT CALLBACK Win32Binding::Impl::ChildProcedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = static_cast<Impl*>(GetPropW(hwnd, kBindingProperty));
  Child* child = self ? self->Find(hwnd) : nullptr;
  if (child == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  return self->OnChildMessage(*child, msg, wp, lp);
}

Win32Binding::Win32Binding(void* instance)
    : impl_(std::make_unique<Impl>(static_cast<HINSTANCE>(instance))) {}

Win32Binding::~Win32Binding() = default;

Child* Win32Binding::Impl::Find(HWND hwnd) const {
  const auto it = by_window.find(hwnd);
  return it == by_window.end() ? nullptr : it->second;
}

Child* Win32Binding::Impl::ChildOf(const Control& control) const {
  const auto it = by_control.find(&control);
  return it == by_control.end() ? nullptr : it->second;
}

UINT_PTR Win32Binding::Impl::TimerId(const Timer& timer) const {
  const auto it = std::find(timers.begin(), timers.end(), &timer);
  return it == timers.end() ? 0 : static_cast<UINT_PTR>(it - timers.begin() + 1);
}

runtime::WindowHandle Win32Binding::Window() const {
  return impl_->window;
}

runtime::WindowHandle Win32Binding::ChildOf(const Control& control) const {
  const Child* child = impl_->ChildOf(control);
  return child != nullptr ? child->hwnd : nullptr;
}

void Win32Binding::Build(Form& form) {
  impl_->Build(form);
}

void Win32Binding::Impl::Build(Form& built) {
  form = &built;
  WNDCLASSEXW wc{};
  if (!GetClassInfoExW(instance, kClassName, &wc)) {
    wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &WindowProcedure;
    wc.hInstance = instance;
    // The icon at its own size (24 x 24), and the small one the title bar takes.
    wc.hIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc)) WindowFailure("RegisterClassEx");
  }

  const Layout& layout = built.layout();
  RECT frame{0, 0, Px(layout.client_width), Px(layout.client_height)};
  AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
  if (!CreateWindowExW(kWindowExStyle, kClassName, W(built.Caption()), kWindowStyle, CW_USEDEFAULT,
                       CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                       nullptr, instance, this)) {
    WindowFailure("CreateWindowEx");
  }
  post_target = window;
  // A fixed window: its system menu offers only Move and Close.
  if (HMENU menu = GetSystemMenu(window, FALSE)) {
    for (UINT item : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE}) {
      DeleteMenu(menu, item, MF_BYCOMMAND);
    }
  }

  int id = kFirstId;
  for (Control* control : built.Controls()) MakeChild(*control, id++);
  // The form's stacking, front to back, each window placed behind the one before it; a control's
  // name stays just in front of it.
  HWND after = HWND_TOP;
  for (Control* control : built.Stacking()) {
    const Child* child = ChildOf(*control);
    if (child == nullptr) continue;
    for (HWND hwnd : {child->name, child->hwnd}) {
      if (hwnd == nullptr) continue;
      SetWindowPos(hwnd, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      after = hwnd;
    }
  }
}

void Win32Binding::Impl::MakeChild(Control& control, int id) {
  const ControlDef& def = control.def();
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  DWORD ex_style = 0;
  const wchar_t* window_class = nullptr;
  std::u16string text;
  switch (def.kind) {
    case Kind::TextBox:
      window_class = L"EDIT";
      ex_style |= WS_EX_CLIENTEDGE;
      style |= def.multiline ? ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL : ES_AUTOHSCROLL;
      if (def.align == Align::Center) style |= ES_CENTER;
      text = static_cast<TextBox&>(control).Text();
      break;
    case Kind::Button:
      window_class = L"BUTTON";
      style |= BS_PUSHBUTTON;
      text = static_cast<Button&>(control).Caption();
      break;
    case Kind::ScrollBar:
      window_class = L"SCROLLBAR";
      style |= SBS_VERT;
      break;
    case Kind::Label:
      window_class = L"STATIC";
      style |= (def.align == Align::Center ? SS_CENTER : SS_LEFT) | SS_NOPREFIX;
      text = static_cast<Label&>(control).Caption();
      break;
    case Kind::Picture:
      window_class = L"STATIC";
      style |= SS_BITMAP;
      if (def.sunken) ex_style |= WS_EX_CLIENTEDGE;  // two pixels
      break;
    case Kind::Timer:
      timers.push_back(&static_cast<Timer&>(control));
      return;
    case Kind::Line:
      return;  // painted by the window
  }
  if (control.Visible()) style |= WS_VISIBLE;
  if (!control.Enabled()) style |= WS_DISABLED;
  if (IsTabStop(def)) style |= WS_TABSTOP;

  // An edit, a scroll bar or a picture has no text that names it: MSAA names such a control by
  // the static text just before it in the z-order, so the name goes into a static of no size,
  // made just before the control. Buttons and labels are named by their own text.
  const bool named_by_label =
      def.kind == Kind::TextBox || def.kind == Kind::ScrollBar || def.kind == Kind::Picture;
  HWND label = nullptr;
  if (named_by_label && !def.accessible_name.empty()) {
    const std::u16string name(def.accessible_name);
    label = CreateWindowExW(0, L"STATIC", W(name), WS_CHILD | WS_VISIBLE | SS_NOPREFIX,
                            Px(def.left), Px(def.top), 0, 0, window, nullptr, instance, nullptr);
    if (label == nullptr) WindowFailure("CreateWindowEx");
  }

  HWND hwnd = CreateWindowExW(ex_style, window_class, W(text), style, Px(def.left), Px(def.top),
                              Px(def.width), Px(def.height), window,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  if (hwnd == nullptr) WindowFailure("CreateWindowEx");
  auto child = std::make_unique<Child>();
  child->control = &control;
  child->hwnd = hwnd;
  child->name = label;

  if (!def.font.face.empty()) {
    HFONT font = gdi.FontFor(def.font);
    if (font == nullptr) WindowFailure("CreateFont");
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  if (def.has_back) {
    child->back = CreateSolidBrush(Color(def.back));
    gdi.Keep(child->back);
  }
  switch (def.kind) {
    case Kind::TextBox:
      // No limit of the control's own: a long text must not be cut short.
      SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
      break;
    case Kind::ScrollBar: {
      SCROLLINFO info{};
      info.cbSize = sizeof info;
      info.fMask = SIF_RANGE | SIF_POS | SIF_PAGE;
      info.nMin = def.range.min;
      info.nMax = def.range.max;
      info.nPos = static_cast<ScrollBar&>(control).Value();
      SetScrollInfo(hwnd, SB_CTL, &info, FALSE);
      break;
    }
    case Kind::Picture: {
      const std::wstring name(def.artwork.begin(), def.artwork.end());
      HANDLE picture = LoadImageW(instance, name.c_str(), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR);
      if (picture == nullptr) WindowFailure("LoadImage");
      gdi.Keep(picture);
      SendMessageW(hwnd, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
      // The control fits itself to the picture; the layout's size is what counts.
      SetWindowPos(hwnd, nullptr, 0, 0, Px(def.width), Px(def.height),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      break;
    }
    default:
      break;
  }
  if (def.kind == Kind::TextBox || def.kind == Kind::Button) {
    SetPropW(hwnd, kBindingProperty, this);
    child->original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ChildProcedure)));
  }
  by_window[hwnd] = child.get();
  by_control[&control] = child.get();
  children.push_back(std::move(child));
}

void Win32Binding::Show(int show_command) {
  ShowWindow(impl_->window, show_command);
  UpdateWindow(impl_->window);
  if (impl_->focus == nullptr) impl_->MoveFocus(false);
}

int Win32Binding::Run() {
  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (Navigate(&msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  const int code = static_cast<int>(msg.wParam);
  // Calls still waiting when the window went are dropped (their messages went with it).
  impl_->calls.Clear();
  return code;
}

bool Win32Binding::Navigate(const void* message) {
  const MSG& msg = *static_cast<const MSG*>(message);
  HWND window = impl_->window;
  if (window == nullptr || !IsChild(window, msg.hwnd)) return false;
  // A key's virtual-key code is the same at its down and its up.
  if (msg.message == WM_KEYUP) return impl_->form->UserKeyUp(static_cast<int>(msg.wParam));
  if (msg.message != WM_KEYDOWN) return false;
  if (impl_->OfferKey(msg)) return true;
  if (msg.wParam == VK_TAB && GetKeyState(VK_CONTROL) >= 0 && GetKeyState(VK_MENU) >= 0) {
    impl_->MoveFocus(GetKeyState(VK_SHIFT) < 0);
    return true;
  }
  // Enter on a focused button clicks it; a button without a Click handler stays silent.
  if (msg.wParam == VK_RETURN) {
    Child* child = impl_->Find(msg.hwnd);
    if (child != nullptr && child->control->def().kind == Kind::Button) {
      static_cast<Button*>(child->control)->UserClick();
      return true;
    }
  }
  return false;
}

bool Win32Binding::Impl::OfferKey(const MSG& msg) {
  // An edit's keys are its own, and its characters come as the loop makes them.
  Child* child = Find(msg.hwnd);
  if (child == nullptr || child->control->def().kind == Kind::TextBox) return false;
  // The character the keyboard layout makes of the key: TranslateMessage posts it to this
  // thread's queue at once, where it is taken before anything else reads the queue.
  TranslateMessage(&msg);
  MSG typed{};
  const bool has_char = PeekMessageW(&typed, msg.hwnd, WM_CHAR, WM_CHAR, PM_REMOVE) != FALSE;
  // Bit 30: the key was already down, so this is a repeat.
  const bool repeat = (msg.lParam & (LPARAM{1} << 30)) != 0;
  if (form->UserKeyDown(child->control, static_cast<int>(msg.wParam), KeyCode(msg.wParam),
                        ShiftNow(), has_char ? static_cast<char16_t>(typed.wParam) : u'\0',
                        repeat)) {
    return true;
  }
  // Tab and Enter make no character as the window's keyboard interface handles them; other keys
  // reach the control as the loop would have delivered them.
  const bool navigation = msg.wParam == VK_TAB ||
                          (msg.wParam == VK_RETURN && child->control->def().kind == Kind::Button);
  if (navigation) return false;
  DispatchMessageW(&msg);
  if (has_char) DispatchMessageW(&typed);
  return true;
}

// The tab order is the form's, whatever the stacking order of the windows.
void Win32Binding::Impl::MoveFocus(bool backwards) {
  std::vector<Child*> stops;
  for (Control* control : form->TabOrder()) {
    Child* child = ChildOf(*control);
    if (child != nullptr && IsWindowVisible(child->hwnd) && IsWindowEnabled(child->hwnd)) {
      stops.push_back(child);
    }
  }
  if (stops.empty()) return;
  const Child* current = Find(GetFocus());
  size_t next = backwards ? stops.size() - 1 : 0;
  if (current != nullptr) {
    const int tab = current->control->def().tab;
    if (backwards) {
      auto it = std::find_if(stops.rbegin(), stops.rend(),
                             [tab](Child* c) { return c->control->def().tab < tab; });
      if (it != stops.rend()) next = static_cast<size_t>(stops.rend() - it - 1);
    } else {
      auto it = std::find_if(stops.begin(), stops.end(),
                             [tab](Child* c) { return c->control->def().tab > tab; });
      if (it != stops.end()) next = static_cast<size_t>(it - stops.begin());
    }
  }
  SetFocus(stops[next]->hwnd);
}

void Win32Binding::Impl::RestoreFocus() {
  if (focus != nullptr && IsWindow(focus) && IsWindowVisible(focus) && IsWindowEnabled(focus)) {
    SetFocus(focus);
  } else {
    MoveFocus(false);
  }
}

LRESULT Win32Binding::Impl::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (Child* child = Find(reinterpret_cast<HWND>(lp))) OnCommand(*child, HIWORD(wp));
      return 0;
    case WM_VSCROLL:
      if (Child* child = Find(reinterpret_cast<HWND>(lp))) OnScroll(*child, LOWORD(wp), HIWORD(wp));
      return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      return OnColor(msg, reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_TIMER:
      if (wp >= 1 && wp <= timers.size()) timers[wp - 1]->UserTick();
      return 0;
    case WM_PAINT:
      PaintLines(window, *form);
      return 0;
    case WM_ACTIVATE: {
      // The focus leaves with the window and comes back to the same control, unless a click
      // that activated the window has already put it elsewhere.
      HWND now = GetFocus();
      const bool inside = now != nullptr && IsChild(window, now);
      if (LOWORD(wp) == WA_INACTIVE) {
        if (inside) focus = now;
        form->UserKeysLost();
      } else if (!inside) {
        RestoreFocus();
      }
      return 0;
    }
    case WM_SETFOCUS:
      RestoreFocus();
      return 0;
    case WM_CLOSE:
      form->UserClose();
      DestroyWindow(window);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The session ends and the process with it: the form closes as on any close.
      if (wp) form->UserClose();
      return 0;
    case WM_DESTROY:
      post_target = nullptr;
      for (size_t i = 0; i < timers.size(); ++i) KillTimer(window, i + 1);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY: {
      HWND gone = window;
      window = nullptr;
      return DefWindowProcW(gone, msg, wp, lp);
    }
    case kCallMessage:
      calls.RunNext();
      return 0;
    default:
      return DefWindowProcW(window, msg, wp, lp);
  }
}

LRESULT Win32Binding::Impl::OnChildMessage(Child& child, UINT msg, WPARAM wp, LPARAM lp) {
  HWND hwnd = child.hwnd;
  const auto pass = [&] { return CallWindowProcW(child.original, hwnd, msg, wp, lp); };
  switch (msg) {
    // The press is told before the control handles it (a button shows itself pushed). The
    // BUTTON and EDIT classes have CS_DBLCLKS, so the second press of a double click arrives as
    // WM_xBUTTONDBLCLK in place of WM_xBUTTONDOWN.
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK: {
      const Twips at = FromCorner(hwnd, lp);
      const bool second =
          msg == WM_LBUTTONDBLCLK || msg == WM_RBUTTONDBLCLK || msg == WM_MBUTTONDBLCLK;
      child.control->UserMouseDown(MouseButton(msg), MouseShift(wp), at.x, at.y, second);
      return pass();
    }
    // The release is told once the control has handled it: a button sends its click (BN_CLICKED)
    // from inside its WM_LBUTTONUP.
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
      const Twips at = FromCorner(hwnd, lp);
      const LRESULT result = pass();
      child.control->UserMouseUp(MouseButton(msg), MouseShift(wp), at.x, at.y);
      return result;
    }
    default:
      break;
  }
  switch (child.control->def().kind) {
    case Kind::TextBox: {
      auto* box = static_cast<TextBox*>(child.control);
      switch (msg) {
        case WM_KEYUP:
        case WM_SYSKEYUP: {
          const LRESULT result = pass();
          box->UserKeyUp(KeyCode(wp), ShiftNow());
          return result;
        }
        case WM_SETCURSOR:
          if (child.control->def().arrow_cursor && LOWORD(lp) == HTCLIENT) {
            SetCursor(LoadCursorA(nullptr, IDC_ARROW));
            return TRUE;
          }
          break;
        default:
          break;
      }
      break;
    }
    default:
      break;
  }
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(child.original));
    RemovePropW(hwnd, kBindingProperty);
  }
  return pass();
}

void Win32Binding::Impl::OnCommand(Child& child, unsigned code) {
  switch (child.control->def().kind) {
    case Kind::TextBox: {
      auto* box = static_cast<TextBox*>(child.control);
      if (code == EN_CHANGE && !child.updating) box->UserEdited(TextOf(child.hwnd));
      if (code == EN_SETFOCUS) box->UserGotFocus();
      break;
    }
    case Kind::Button:
      if (code == BN_CLICKED) static_cast<Button*>(child.control)->UserClick();
      break;
    default:
      break;
  }
}

void Win32Binding::Impl::OnScroll(Child& child, unsigned code, unsigned position) {
  // A scroll bar control leaves its position to its owner: the engine steps it and the binding
  // shows where it settles. The message carries the thumb's position in 16 bits, which the range
  // fits.
  static constexpr std::pair<unsigned, ScrollStep> kSteps[] = {
      {SB_LINEUP, ScrollStep::LineUp}, {SB_LINEDOWN, ScrollStep::LineDown},
      {SB_PAGEUP, ScrollStep::PageUp}, {SB_PAGEDOWN, ScrollStep::PageDown},
      {SB_TOP, ScrollStep::Top},       {SB_BOTTOM, ScrollStep::Bottom}};
  auto* bar = static_cast<ScrollBar*>(child.control);
  if (code == SB_THUMBTRACK) bar->UserThumbMoved(static_cast<int>(position));
  if (code == SB_THUMBPOSITION) bar->UserThumbReleased(static_cast<int>(position));
  for (const auto& [sb, step] : kSteps) {
    if (code == sb) bar->UserStep(step);
  }
}

LRESULT Win32Binding::Impl::OnColor(UINT msg, HDC dc, HWND hwnd) {
  const LRESULT standard =
      DefWindowProcW(window, msg, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(hwnd));
  const Child* child = Find(hwnd);
  return child == nullptr ? standard
                          : ControlColors(dc, child->control->def(), child->back, standard);
}

void Win32Binding::PropertyChanged(const Control& control, Property property) {
  Child* found = impl_->ChildOf(control);
  if (found == nullptr) return;  // not built yet: Build reads the current state
  Child& child = *found;
  switch (property) {
    case Property::Text:
      child.updating = true;
      SetWindowTextW(child.hwnd, W(static_cast<const TextBox&>(control).Text()));
      child.updating = false;
      break;
    case Property::Caption:
      SetWindowTextW(child.hwnd, W(static_cast<const Button&>(control).Caption()));
      break;
    case Property::Visible:
      ShowWindow(child.hwnd, control.Visible() ? SW_SHOWNA : SW_HIDE);
      break;
    case Property::Enabled:
      EnableWindow(child.hwnd, control.Enabled() ? TRUE : FALSE);
      break;
    case Property::Value:
      SetScrollPos(child.hwnd, SB_CTL, static_cast<const ScrollBar&>(control).Value(), TRUE);
      break;
    case Property::Down:
      SendMessageW(child.hwnd, BM_SETSTATE, static_cast<const Button&>(control).Down(), 0);
      break;
    case Property::Description:
      // Plain controls have no description for MSAA to read, and Wine's annotation service
      // (IAccPropServices) accepts none.
      break;
  }
}

void Win32Binding::ShowCaption(const std::u16string& caption) {
  if (impl_->window != nullptr) SetWindowTextW(impl_->window, W(caption));
}

bool Win32Binding::WhenIdle(std::function<void()> call) {
  // A posted message comes after the one being handled, without entering the message loop again.
  return impl_->calls.Post(impl_->window, std::move(call));
}

void Win32Binding::ArmTimer(Timer& timer) {
  const UINT_PTR id = impl_->TimerId(timer);
  if (id == 0 || impl_->window == nullptr) return;
  // Setting an existing timer again starts its count afresh.
  SetTimer(impl_->window, id, static_cast<UINT>(timer.Interval()), nullptr);
}

void Win32Binding::DisarmTimer(Timer& timer) {
  const UINT_PTR id = impl_->TimerId(timer);
  if (id == 0 || impl_->window == nullptr) return;
  KillTimer(impl_->window, id);
}

void Win32Binding::ShowMessage(const std::u16string& text) {
  const std::u16string title(impl_->form != nullptr ? impl_->form->layout().title : u"");
  MessageBoxW(impl_->window, W(text), W(title), MB_OK | MB_ICONEXCLAMATION);
}

std::string Win32Binding::ProgramFolder() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD got = GetModuleFileNameA(nullptr, path.data(), size);
    if (got < size) {
      path.resize(got);
      return FolderOf(path);
    }
    path.resize(path.size() * 2);
  }
}

void Win32Binding::OpenUrl(const std::string& address, const std::string& directory) {
  ShellExecuteA(impl_->window, "Open", address.c_str(), "", directory.c_str(), SW_SHOWNORMAL);
}

void Win32Binding::Post(std::function<void()> call) {
  // From any thread: the call runs on the window's thread, between its other messages.
  impl_->calls.Post(impl_->post_target, std::move(call));
}

}  // namespace forms::win32
