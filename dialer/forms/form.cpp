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

void Control::SetDescription(std::u16string description) {
  description_ = std::move(description);
  Changed(Property::Description);
}

bool Control::Contains(float x, float y) const {
  const float width = static_cast<float>(Px(def_.width) * kTwipsPerPixel);
  const float height = static_cast<float>(Px(def_.height) * kTwipsPerPixel);
  return x >= 0 && y >= 0 && x < width && y < height;
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

void TextBox::UserMouseDown(int16_t button, int16_t, float, float, bool second) {
  if (button != 1) return;
  pressed_ = true;
  second_pressed_ = second;
}

void TextBox::UserMouseUp(int16_t button, int16_t, float x, float y) {
  if (button != 1) return;
  const bool click = pressed_ && !second_pressed_ && Contains(x, y);
  pressed_ = false;
  if (click && Click) form_.Deliver(Click);
}

void Button::SetCaption(std::u16string caption) {
  caption_ = std::move(caption);
  Changed(Property::Caption);
}

void Button::UserMouseDown(int16_t button, int16_t shift, float x, float y, bool) {
  if (button == 1) mouse_down_ = true;
  if (MouseDown) form_.Deliver([&] { MouseDown(button, shift, x, y); });
}

void Button::UserMouseUp(int16_t button, int16_t, float, float) {
  if (button == 1) mouse_down_ = false;
}

void Button::UserClick() {
  if (!mouse_down_ && !def().keys.empty()) {
    Press(0);
    Release();
  }
  if (Click) form_.Deliver(Click);
}

void Button::Press(int16_t shift) {
  down_ = true;
  Changed(Property::Down);
  const auto x = static_cast<float>(def().width / 2);
  const auto y = static_cast<float>(def().height / 2);
  if (MouseDown) form_.Deliver([&] { MouseDown(1, shift, x, y); });
}

void Button::Release() {
  down_ = false;
  Changed(Property::Down);
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

int16_t ScrollBar::Clamp(int value) const {
  return static_cast<int16_t>(
      std::clamp(value, static_cast<int>(def().range.min), static_cast<int>(def().range.max)));
}

void ScrollBar::UserThumbMoved(int value) {
  const int16_t at = Clamp(value);
  if (!dragging_) {
    dragging_ = true;
    drag_from_ = value_;
  }
  if (at == value_) return;
  value_ = at;
  if (Scroll) form_.Deliver(Scroll);
}

void ScrollBar::UserThumbReleased(int value) {
  const int16_t from = dragging_ ? drag_from_ : value_;
  dragging_ = false;
  Settle(Clamp(value), from);
}

void ScrollBar::UserStep(ScrollStep step) {
  const ScrollRange& range = def().range;
  // In the order of ScrollStep.
  const int to[] = {value_ - range.small_change,
                    value_ + range.small_change,
                    value_ - range.large_change,
                    value_ + range.large_change,
                    range.min,
                    range.max};
  UserSettled(to[static_cast<int>(step)]);
}

void ScrollBar::UserSettled(int value) {
  // While the thumb is dragged the values are the drag's; its release settles them.
  if (dragging_) return;
  const int16_t to = Clamp(value);
  if (to != value_) Settle(to, value_);
}

void ScrollBar::Settle(int16_t value, int16_t from) {
  value_ = value;
  Changed(Property::Value);
  if (value != from && Change) form_.Deliver(Change);
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
  CaptionChanged();
}

void Form::AppendCaption(std::u16string_view tail) {
  caption_ += tail;
  CaptionChanged();
}

void Form::CaptionChanged() {
  if (caption_pending_) return;
  caption_pending_ = binding_.WhenIdle([this] {
    caption_pending_ = false;
    binding_.ShowCaption(caption_);
  });
  if (!caption_pending_) binding_.ShowCaption(caption_);
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

std::vector<Control*> Form::Stacking() const {
  std::vector<Control*> order(controls_.begin(), controls_.end());
  std::stable_partition(order.begin(), order.end(),
                        [](const Control* c) { return !Windowless(c->def().kind); });
  return order;
}

void Form::UserLoad() {
  Deliver([this] { Form_Load(); });
}

void Form::UserClose() {
  if (closed_) return;
  closed_ = true;
  for (Control* c : controls_) {
    if (auto* timer = dynamic_cast<Timer*>(c)) binding_.DisarmTimer(*timer);
  }
  Deliver([this] {
    int16_t cancel = 0;
    Form_QueryUnload(cancel, 0);
  });
}

bool Form::UserKeyDown(Control* focus, int key, int16_t key_code, int16_t shift, char16_t typed,
                       bool repeat) {
  if (dynamic_cast<TextBox*>(focus) != nullptr) return false;
  const auto held =
      std::find_if(held_.begin(), held_.end(), [key](const auto& h) { return h.first == key; });
  if (repeat) return held != held_.end();
  // A second down without an up between: the up was lost, so the key starts afresh.
  if (held != held_.end()) UserKeyUp(key);

  Button* target = nullptr;
  if (typed == u' ' || typed == u'\r') {
    auto* button = dynamic_cast<Button*>(focus);
    if (button != nullptr && !button->def().keys.empty()) target = button;
  } else if (typed != 0) {
    for (Control* c : controls_) {
      auto* button = dynamic_cast<Button*>(c);
      if (button != nullptr && button->Visible() && button->Enabled() &&
          button->def().keys.find(typed) != std::u16string_view::npos) {
        target = button;
        break;
      }
    }
  }
  if (target == nullptr) {
    if (KeyDown) Deliver([&] { KeyDown(key_code, shift); });
    return false;
  }
  held_.emplace_back(key, target);
  target->Press(shift);
  return true;
}

bool Form::UserKeyUp(int key) {
  const auto held =
      std::find_if(held_.begin(), held_.end(), [key](const auto& h) { return h.first == key; });
  if (held == held_.end()) return false;
  Button* button = held->second;
  held_.erase(held);
  button->Release();
  return true;
}

void Form::UserKeysLost() {
  while (!held_.empty()) UserKeyUp(held_.back().first);
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
