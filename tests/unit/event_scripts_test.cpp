// The event scripts on the headless engine, the widgets' own part played here: a push button
// clicks at a left release over it that follows a left press on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialer/forms/headless/headless.h"
#include "tests/support/event_scripts.h"

namespace {

using support::Act;

class Runner {
 public:
  void Do(const support::Input& in) {
    if (in.act == Act::Close || in.act == Act::EndSession) {
      form.UserClose();
      return;
    }
    forms::Control& control = *form.Find(in.name, in.index);
    const auto x = static_cast<float>(in.x * forms::kTwipsPerPixel);
    const auto y = static_cast<float>(in.y * forms::kTwipsPerPixel);
    auto& bar = static_cast<forms::ScrollBar&>(control);
    switch (in.act) {
      case Act::Press:
        Down(control, in, x, y, false);
        break;
      case Act::Release:
        Up(control, in, x, y);
        break;
      case Act::Click:
        Down(control, in, x, y, false);
        Up(control, in, x, y);
        break;
      case Act::DoubleClick:
        Down(control, in, x, y, false);
        Up(control, in, x, y);
        Down(control, in, x, y, true);
        Up(control, in, x, y);
        break;
      case Act::ThumbMove:
        bar.UserThumbMoved(in.value);
        break;
      case Act::ThumbRelease:
        bar.UserThumbReleased(in.value);
        break;
      case Act::Step:
        bar.UserStep(in.step);
        break;
      case Act::Close:
      case Act::EndSession:
        break;
    }
  }

  void Settle() {
    engine.RunFor(0);
    for (; shown < engine.CaptionsShown(); ++shown) {
      form.log.push_back(support::TitleEntry(engine.ShownCaption()));
    }
  }

  forms::HeadlessBinding engine{"."};
  support::TableForm form{engine};

 private:
  void Down(forms::Control& control, const support::Input& in, float x, float y, bool second) {
    control.UserMouseDown(in.button, in.shift, x, y, second);
    pressed = in.button == 1 ? &control : nullptr;
  }
  void Up(forms::Control& control, const support::Input& in, float x, float y) {
    auto* button = dynamic_cast<forms::Button*>(&control);
    const bool over = x >= 0 && y >= 0;
    if (button != nullptr && in.button == 1 && pressed == &control && over) button->UserClick();
    if (in.button == 1) pressed = nullptr;
    control.UserMouseUp(in.button, in.shift, x, y);
  }

  forms::Control* pressed = nullptr;
  int shown = 0;
};

TEST(EventScripts, RunOnTheHeadlessEngine) {
  for (const support::Script& script : support::kScripts) {
    SCOPED_TRACE(std::string(script.what));
    Runner run;
    for (const support::Input& in : script.inputs) {
      run.Do(in);
      run.Settle();
    }
    EXPECT_EQ(run.form.log, script.out);
  }
}

TEST(EventScripts, StackingAndClosing) {
  Runner run;
  std::vector<std::string> stacked;
  for (forms::Control* c : run.form.Stacking()) {
    if (c->def().kind != forms::Kind::Timer) stacked.push_back(support::NameOf(c->def()));
  }
  EXPECT_EQ(stacked, support::kFrontToBack);

  // The timers stop with the window.
  auto& tick = run.form.Get<forms::Timer>("Tick");
  int ticks = 0;
  tick.Tick = [&] { ++ticks; };
  tick.SetEnabled(true);
  run.form.UserClose();
  EXPECT_TRUE(run.engine.RunUntilIdle(10000));
  EXPECT_EQ(ticks, 0);
}

}  // namespace
