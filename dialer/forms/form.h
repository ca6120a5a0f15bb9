// The form engine a window's logic is written against: controls that hold their state
// (text, caption, value, visibility, enabled), raise their events one at a time, and tell the
// platform binding what to show. Program assignments raise a control's events at once, inside
// the assigning statement; user input arrives from the binding through the User* entry points.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dialer/forms/controls.h"
#include "runtime/dispatcher.h"

namespace forms {

class Form;
class Control;
class Timer;

// Down: a button shown pushed while a key holds it. Description: what a screen reader says of the
// control after its name.
enum class Property { Text, Caption, Visible, Enabled, Value, Down, Description };

// What a platform (Qt, Win32, headless) provides to a form. All calls come from the UI thread
// except Post (runtime::Dispatcher), which may come from any thread.
class Binding : public runtime::Dispatcher {
 public:
  // A property set by the program, or a value the user settled that the widget does not show by
  // itself; the binding shows it.
  virtual void PropertyChanged(const Control& control, Property property) = 0;
  // The title bar shows this caption.
  virtual void ShowCaption(const std::u16string& caption) = 0;
  // Runs `call` on the window's thread once the event now running is over; false when it cannot
  // (no window yet, or none any more), and the call is dropped.
  virtual bool WhenIdle(std::function<void()> call) = 0;
  // Starts the timer's count afresh (it ticks every interval while armed) or stops it.
  virtual void ArmTimer(Timer& timer) = 0;
  virtual void DisarmTimer(Timer& timer) = 0;
  // A message box with an OK button over the window; returns when it is dismissed.
  virtual void ShowMessage(const std::u16string& text) = 0;
  // The folder of the program file, without a trailing separator unless it is a root.
  virtual std::string ProgramFolder() = 0;
  virtual runtime::WindowHandle Handle() = 0;
  // Asks the desktop to open an address; the answer is not examined.
  virtual void OpenUrl(const std::string& address, const std::string& directory) = 0;

 protected:
  ~Binding() = default;
};

class Control {
 public:
  Control(Form& form, const ControlDef& def);
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  virtual ~Control() = default;

  const ControlDef& def() const { return def_; }
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  bool Enabled() const { return enabled_; }
  virtual void SetEnabled(bool enabled);
  const std::u16string& Description() const { return description_; }
  void SetDescription(std::u16string description);

  // From the binding: a mouse button (1 left, 2 right, 4 middle) went down or came up on the
  // control, at x, y in twips from the corner where the layout places it. `second` marks the
  // second press of a double click, which toolkits report in place of a press. A release is
  // reported once the widget has handled it: a button's own click comes first.
  virtual void UserMouseDown(int16_t /*button*/, int16_t /*shift*/, float /*x*/, float /*y*/,
                             bool /*second*/) {}
  virtual void UserMouseUp(int16_t /*button*/, int16_t /*shift*/, float /*x*/, float /*y*/) {}

 protected:
  // Whether a point in twips from the control's corner lies on it, as whole pixels.
  bool Contains(float x, float y) const;
  void Changed(Property property);
  Form& form_;

 private:
  const ControlDef& def_;
  bool visible_;
  bool enabled_;
  std::u16string description_ = std::u16string(def_.accessible_description);
};

class TextBox final : public Control {
 public:
  using Control::Control;

  const std::u16string& Text() const { return text_; }
  // Setting the text from the program raises no key event.
  void SetText(std::u16string text);

  std::function<void(int16_t key_code, int16_t shift)> KeyUp;
  std::function<void()> GotFocus;
  // A left press and release on the box; the release that ends a double click makes no second.
  std::function<void()> Click;

  // From the binding: the user edited the box (the widget already shows it).
  void UserEdited(std::u16string text) { text_ = std::move(text); }
  void UserKeyUp(int16_t key_code, int16_t shift);
  void UserGotFocus();
  void UserMouseDown(int16_t button, int16_t shift, float x, float y, bool second) override;
  void UserMouseUp(int16_t button, int16_t shift, float x, float y) override;

 private:
  std::u16string text_ = std::u16string(def().text);
  bool pressed_ = false;         // a left press began on the box
  bool second_pressed_ = false;  // and it was the second of a double click
};

class Button final : public Control {
 public:
  using Control::Control;

  const std::u16string& Caption() const { return caption_; }
  void SetCaption(std::u16string caption);

  // Shown pushed because a key holds it (a mouse press shows itself).
  bool Down() const { return down_; }

  // With every press of any mouse button, the second of a double click too.
  std::function<void(int16_t button, int16_t shift, float x, float y)> MouseDown;
  std::function<void()> Click;

  void UserMouseDown(int16_t button, int16_t shift, float x, float y, bool second) override;
  void UserMouseUp(int16_t button, int16_t shift, float x, float y) override;
  // From the binding: the widget clicked. A click that no left mouse press began (an accessible
  // action, a switch device) presses a button that keys press, as a key would, before its Click.
  void UserClick();

 private:
  friend class Form;
  // A key presses the button: shown pushed, and MouseDown as a left press at its centre.
  void Press(int16_t shift);
  void Release();

  std::u16string caption_ = std::u16string(def().text);
  bool down_ = false;
  bool mouse_down_ = false;
};

// The order is that of the values ScrollBar::UserStep goes to.
enum class ScrollStep { LineUp, LineDown, PageUp, PageDown, Top, Bottom };

class ScrollBar final : public Control {
 public:
  using Control::Control;

  int16_t Value() const { return value_; }
  // A different value raises Change inside this call; a value outside the range is an error.
  void SetValue(int16_t value);

  // Change when a value settles: a step, or the end of a drag that moved the thumb; Scroll while
  // the thumb is dragged.
  std::function<void()> Change;
  std::function<void()> Scroll;

  // From the binding; values outside the range are taken to its nearest end. The thumb follows
  // the mouse (the widget shows it) and is let go.
  void UserThumbMoved(int value);
  void UserThumbReleased(int value);
  // A step the binding leaves to the engine: an arrow, the track, a key.
  void UserStep(ScrollStep step);
  // A value the widget settled by itself, not by a drag: it shows it already.
  void UserSettled(int value);

 private:
  int16_t Clamp(int value) const;
  void Settle(int16_t value, int16_t from);

  int16_t value_ = def().range.value;
  bool dragging_ = false;
  int16_t drag_from_ = 0;  // the value when the drag began
};

class Label final : public Control {
 public:
  using Control::Control;
  const std::u16string& Caption() const { return caption_; }

 private:
  std::u16string caption_ = std::u16string(def().text);
};

// Pictures and lines: shown as the table says, no behaviour.
class Decoration final : public Control {
 public:
  using Control::Control;
};

class Timer final : public Control {
 public:
  using Control::Control;

  int Interval() const { return def().interval_ms; }
  // Disabling and then enabling restarts the count: the tick comes one interval after the
  // latest enable. While enabled it ticks every interval.
  void SetEnabled(bool enabled) override;

  std::function<void()> Tick;
  // From the binding: one interval has passed.
  void UserTick();
};

// Controls that share a name and are told apart by index (a keypad, say).
template <typename T, int N>
class ControlArray {
 public:
  // The members' definitions come from the form's layout.
  ControlArray(Form& form, std::string_view name);
  T& operator[](int index) { return *items_.at(static_cast<size_t>(index)); }
  const T& operator[](int index) const { return *items_.at(static_cast<size_t>(index)); }
  static constexpr int size() { return N; }

 private:
  std::array<std::unique_ptr<T>, N> items_;
};

// The window: its layout, its caption, its controls in stored order, and the error guard of its
// events.
class Form : public runtime::Dispatcher {
 public:
  // The layout must outlive the form; the caption starts as its title.
  Form(Binding& binding, const Layout& layout)
      : binding_(binding), layout_(layout), caption_(layout.title) {}
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  virtual ~Form() = default;

  const std::u16string& Caption() const { return caption_; }
  void SetCaption(std::u16string caption);
  void AppendCaption(std::u16string_view tail);

  Binding& binding() { return binding_; }
  const Layout& layout() const { return layout_; }
  const ControlDef& Definition(std::string_view name, int index = -1) const {
    return layout_.Definition(name, index);
  }
  const std::vector<Control*>& Controls() const { return controls_; }
  Control* Find(std::string_view name, int index = -1) const;
  // The tab stops in the order the Tab key visits them, visible and enabled or not.
  std::vector<Control*> TabOrder() const;

  // The controls front to back, as the window stacks them: those with a window of their own in
  // stored order, then beneath them the windowless ones (labels, pictures, lines) in stored
  // order, as if drawn on the window itself.
  std::vector<Control*> Stacking() const;

  // Raised by the binding: before the window is first shown, and when it is asked to close for
  // any reason (it cannot be cancelled). Only the first close request counts; the timers stop
  // with it, as nothing they do matters once the window goes.
  virtual void Form_Load() = 0;
  virtual void Form_QueryUnload(int16_t& cancel, int16_t unload_mode) = 0;
  void UserLoad();
  void UserClose();

  // From the binding: a key went down while `focus` held the keyboard focus. `key` tells one key
  // from another and is the same at its down and its up; `typed` is the character the keyboard
  // layout made of it (0 for none); `repeat`: the key is held and repeats. While the focus is not
  // in a text box, a typed character presses the button whose keys hold it, Space or Enter the
  // focused one that keys press, until the key comes up; a repeat presses nothing; any other key
  // raises KeyDown. Returns true when the key was used: the focused widget must not see it.
  bool UserKeyDown(Control* focus, int key, int16_t key_code, int16_t shift, char16_t typed,
                   bool repeat);
  // Returns true when the key held a button, which comes up; the widget must not see it either.
  bool UserKeyUp(int key);
  // The window lost the keyboard: buttons held by keys come up, as their key-ups will not come.
  void UserKeysLost();
  std::function<void(int16_t key_code, int16_t shift)> KeyDown;

  // Runs one event from outside: an error that leaves it is shown in a message box and the
  // window keeps running.
  void Deliver(const std::function<void()>& event);
  // Queues a call (a sound notification) onto the UI thread, delivered like any event.
  void Post(std::function<void()> call) override;

 private:
  friend class Control;
  // One event can change the caption thousands of times (dialing a text does): the title bar gets
  // the last one, once, when the event is over.
  void CaptionChanged();

  Binding& binding_;
  const Layout& layout_;
  std::u16string caption_;
  bool caption_pending_ = false;
  bool closed_ = false;
  std::vector<Control*> controls_;
  std::vector<std::pair<int, Button*>> held_;  // keys down and the buttons they hold
};

template <typename T, int N>
ControlArray<T, N>::ControlArray(Form& form, std::string_view name) {
  for (int i = 0; i < N; ++i) items_[i] = std::make_unique<T>(form, form.Definition(name, i));
}

}  // namespace forms
