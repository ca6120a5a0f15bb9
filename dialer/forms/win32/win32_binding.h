// The form engine on plain Win32 controls: one fixed-size window that renders the control table
// as EDIT, BUTTON, SCROLLBAR and STATIC children and turns their messages into the controls'
// User* entry points. It holds no dialer logic. windows.h stays out of this header (it would turn
// the sound device's CreateEvent into a macro); window handles pass as void*.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dialer/forms/form.h"

namespace forms::win32 {

// The folder of a module path, without a trailing separator unless it is a drive's root.
std::string FolderOf(const std::string& module_path);

// A font height in pixels at 96 dots per inch, as CreateFont takes it (negative: the character
// height without internal leading).
int FontHeight(double points);

class Win32Binding final : public Binding {
 public:
  // instance: the module whose resources hold the icon (resource 1) and the pictures.
  explicit Win32Binding(void* instance);
  ~Win32Binding();
  Win32Binding(const Win32Binding&) = delete;
  Win32Binding& operator=(const Win32Binding&) = delete;

  // Creates the window, hidden, and a child window for every control of the form (which must be
  // fully constructed). Call once, before Form::UserLoad.
  void Build(Form& form);
  // Shows the window and gives the first tab stop the focus.
  void Show(int show_command);
  // Dispatches messages until the window is gone; returns the exit code.
  int Run();
  // Handles the message as the window's keyboard interface would (Tab, Shift+Tab, Enter on a
  // button); true when it was used up. Run calls it for every message.
  bool Navigate(const void* msg);

  void* Window() const { return window_; }
  // The child window that shows a control (null for timers and lines).
  void* ChildOf(const Control& control) const;

  void PropertyChanged(const Control& control, Property property) override;
  void CaptionChanged() override;
  void ArmTimer(Timer& timer) override;
  void DisarmTimer(Timer& timer) override;
  void ShowMessage(const std::u16string& text) override;
  std::string ProgramFolder() override;
  audio::WindowHandle Handle() override { return window_; }
  void OpenUrl(const std::string& address, const std::string& directory) override;
  void Post(std::function<void()> call) override;

 private:
  struct Child;
  struct Resources;
  friend struct Procedures;

  intptr_t OnMessage(unsigned msg, uintptr_t wp, intptr_t lp);
  intptr_t OnChildMessage(Child& child, unsigned msg, uintptr_t wp, intptr_t lp);
  void MakeChild(Control& control, int id);
  void OnCommand(Child& child, unsigned code);
  void OnScroll(Child& child, unsigned code, unsigned position);
  intptr_t OnColor(unsigned msg, uintptr_t dc, void* hwnd);
  void Paint();
  void MoveFocus(bool backwards);
  // Gives the focus back to the control that had it, or to the first tab stop.
  void RestoreFocus();
  void Closing();
  Child* Find(void* hwnd);

  void* instance_;
  void* window_ = nullptr;
  Form* form_ = nullptr;
  std::vector<std::unique_ptr<Child>> children_;
  std::unordered_map<const Control*, Child*> by_control_;
  std::vector<Timer*> timers_;  // timer id = position + 1
  std::unique_ptr<Resources> resources_;
  void* focus_ = nullptr;  // the child that had the focus when the window was last deactivated
  bool caption_pending_ = false;
  bool closed_ = false;
};

}  // namespace forms::win32
