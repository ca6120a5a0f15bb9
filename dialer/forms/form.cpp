#include "dialer/forms/form.h"

#include <algorithm>
#include <exception>
#include <string>

#include "runtime/error.h"
#include "runtime/utf8.h"

namespace forms {

Control::Control(Form& form, const ControlDef& def)
    : form_(form), def_(def), visible_(def.visible), enabled_(def.enabled) {
  form.controls_.push_back(this);
}

void Control::Changed(Property property) {
  form_.binding().PropertyChanged(*this, property);
}

void Control::SetVisible(bool visible) {
  visible_ = visible;
  Changed(Property::Visible);
}

void Control::SetEnabled(bool enabled) {
  enabled_ = enabled;
  Changed(Property::Enabled);
}

void TextBox::SetText(std::u16string text) {
  text_ = std::move(text);
  Changed(Property::Text);
}

void TextBox::UserKeyUp(int16_t key_code, int16_t shift) {
  if (KeyUp) form_.Deliver([&] { KeyUp(key_code, shift); });
}

void TextBox::UserGotFocus() {
  if (GotFocus) form_.Deliver(GotFocus);
}

void TextBox::UserClick() {
  if (Click) form_.Deliver(Click);
}

void Button::SetCaption(std::u16string caption) {
  caption_ = std::move(caption);
  Changed(Property::Caption);
}

void Button::UserMouseDown(int16_t button, int16_t shift, float x, float y) {
  if (MouseDown) form_.Deliver([&] { MouseDown(button, shift, x, y); });
}

void Button::UserClick() {
  if (Click) form_.Deliver(Click);
}

void ScrollBar::SetValue(int16_t value) {
  if (value < def().range.min || value > def().range.max) {
    throw runtime::Error(runtime::kInvalidCall, "Invalid property value " + std::to_string(value) +
                                                    " for " + std::string(def().name));
  }
  if (value == value_) return;
  value_ = value;
  Changed(Property::Value);
  if (Change) Change();
}

void ScrollBar::UserScroll(int16_t value) {
  value_ = value;
  if (Scroll) form_.Deliver(Scroll);
}

void ScrollBar::UserChange(int16_t value) {
  value_ = value;
  if (Change) form_.Deliver(Change);
}

void Timer::SetEnabled(bool enabled) {
  const bool was = Enabled();
  Control::SetEnabled(enabled);
  if (enabled && !was) form_.binding().ArmTimer(*this);
  if (!enabled && was) form_.binding().DisarmTimer(*this);
}

void Timer::UserTick() {
  if (Enabled() && Tick) form_.Deliver(Tick);
}

void Form::SetCaption(std::u16string caption) {
  caption_ = std::move(caption);
  binding_.CaptionChanged();
}

void Form::AppendCaption(std::u16string_view tail) {
  caption_ += tail;
  binding_.CaptionChanged();
}

Control* Form::Find(std::string_view name, int index) const {
  for (Control* c : controls_) {
    if (c->def().name == name && c->def().index == index) return c;
  }
  return nullptr;
}

std::vector<Control*> Form::TabOrder() const {
  std::vector<Control*> stops;
  for (Control* c : controls_) {
    if (IsTabStop(c->def())) stops.push_back(c);
  }
  std::stable_sort(stops.begin(), stops.end(),
                   [](const Control* a, const Control* b) { return a->def().tab < b->def().tab; });
  return stops;
}

void Form::UserLoad() {
  Deliver([this] { Form_Load(); });
}

void Form::UserClose() {
  Deliver([this] {
    int16_t cancel = 0;
    Form_QueryUnload(cancel, 0);
  });
}

void Form::Deliver(const std::function<void()>& event) {
  std::u16string message;
  try {
    event();
    return;
  } catch (const runtime::Error& e) {
    message = runtime::FromUtf8(e.description());
  } catch (const std::bad_alloc&) {
    message = u"Out of memory";
  } catch (const std::exception& e) {
    message = runtime::FromUtf8(e.what());
  }
  binding_.ShowMessage(message);
}

void Form::Post(std::function<void()> call) {
  binding_.Post([this, call = std::move(call)] { Deliver(call); });
}

}  // namespace forms
