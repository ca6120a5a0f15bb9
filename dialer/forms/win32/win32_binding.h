// The form engine on plain Win32 controls: one fixed-size window that renders the form's layout
// as EDIT, BUTTON, SCROLLBAR and STATIC children and turns their messages into the controls'
// User* entry points. It holds no dialer logic. The windows themselves live in the private
// implementation; to its users a window is a runtime::WindowHandle (an HWND).
#pragma once

#include <memory>
#include <string>

#include "dialer/forms/form.h"

namespace forms::win32 {

// The folder of a module path, without a trailing separator unless it is a drive's root.
std::string FolderOf(const std::string& module_path);

// A font height as CreateFont takes it (negative: the character height without internal leading).
int FontHeight(double points);

class Win32Binding final : public Binding {
 public:
  // instance: the module (an HINSTANCE) whose resources hold the icon (resource 1) and the
  // pictures.
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
  // Handles a MSG as the window's keyboard interface would (Tab, Shift+Tab, Enter on a button);
  // true when it was used up. Run calls it for every message.
  bool Navigate(const void* msg);

  // The window, null once it is gone.
  runtime::WindowHandle Window() const;
  // The child window that shows a control (null for timers and lines).
  runtime::WindowHandle ChildOf(const Control& control) const;

  void PropertyChanged(const Control& control, Property property) override;
  void ShowCaption(const std::u16string& caption) override;
  bool WhenIdle(std::function<void()> call) override;
  void ArmTimer(Timer& timer) override;
  void DisarmTimer(Timer& timer) override;
  void ShowMessage(const std::u16string& text) override;
  std::string ProgramFolder() override;
  runtime::WindowHandle Handle() override { return Window(); }
  void OpenUrl(const std::string& address, const std::string& directory) override;
  void Post(std::function<void()> call) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace forms::win32
