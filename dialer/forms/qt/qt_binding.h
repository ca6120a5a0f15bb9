// The form engine on Qt 6 Widgets: one fixed-size window that renders the form's layout and turns
// the widgets' input into the controls' User* entry points. It holds no dialer logic. The window's
// icon is the resource :/art/icon.png and a picture's artwork NAME is :/art/NAME.png; the program
// links them in.
#pragma once

#include <QObject>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dialer/forms/form.h"

class QDialog;
class QMouseEvent;
class QTimer;
class QWidget;

namespace forms::qt {

class KeyRepeats;
class TerminationSignals;

class QtBinding final : public QObject, public Binding {
 public:
  QtBinding();
  ~QtBinding() override;

  // Builds the window and a widget for every control of the form (which must be fully
  // constructed). Call once, before Form::UserLoad.
  void Build(Form& form);
  // Ends the program when the process is asked to (SIGTERM, SIGINT, SIGHUP), at any moment, a
  // message box's too: the form's closing work runs once, as when the user closes the window,
  // every open message box ends, and Run returns, or does not show the window when start-up has
  // not finished. A message from then on goes to standard error, as nobody is there to answer
  // it. Call after Build; once per process.
  void CloseOnTerminationSignals();
  // Shows the window and runs its events until it closes; returns the exit status: 0, or 1 when
  // a termination signal ended the program and a message (a failed save) went to standard error.
  int Run();
  // The window; each control's widget is a child named after it: "Name", or "Name(5)" for a
  // member of a control array.
  QWidget& Window() const { return *window_; }

  void PropertyChanged(const Control& control, Property property) override;
  void ShowCaption(const std::u16string& caption) override;
  bool WhenIdle(std::function<void()> call) override;
  void ArmTimer(Timer& timer) override;
  void DisarmTimer(Timer& timer) override;
  void ShowMessage(const std::u16string& text) override;
  std::string ProgramFolder() override;
  runtime::WindowHandle Handle() override;
  void OpenUrl(const std::string& address, const std::string& directory) override;
  void Post(std::function<void()> call) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* MakeWidget(Control& control);
  void Connect(Control& control, QWidget* widget);
  // A mouse press or release on a control's widget (or on the area inside its frame) for the
  // control.
  void OfferMouse(Control& control, QObject* watched, const QMouseEvent& mouse);

  Form* form_ = nullptr;
  std::unique_ptr<QWidget> window_;
  std::unordered_map<const Control*, QWidget*> widgets_;
  std::unordered_map<const QObject*, Control*> controls_;
  std::unordered_map<const Timer*, QTimer*> timers_;
  void EndOnSignal();

  std::unique_ptr<TerminationSignals> signals_;
  std::vector<QDialog*> open_boxes_;
  bool running_ = false;  // inside Run's event loop
  bool ending_ = false;   // a termination signal came
  bool told_on_stderr_ = false;
  std::unique_ptr<KeyRepeats> repeats_;
};

}  // namespace forms::qt
