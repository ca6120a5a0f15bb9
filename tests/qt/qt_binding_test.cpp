// The Qt binding on real widgets, without a display (offscreen platform): a window as its layout
// draws it, and user input turned into the controls' events as the form engine defines them. The
// form here has a small layout of its own, one control of each sort the engine knows, and
// handlers that record.
#include <gtest/gtest.h>

// Mouse input goes the way a window system delivers it, so double clicks are made as Qt makes them.
#define QTEST_QPA_MOUSE_HANDLING

#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dialer/form1.h"
#include "dialer/forms/controls.h"
#include "dialer/forms/form.h"
#include "dialer/forms/qt/qt_binding.h"
#include "runtime/error.h"
#include "tests/support/event_scripts.h"
#include "tests/support/keypad_keys.h"

namespace {

using forms::ControlDef;
using forms::Kind;
using forms::Px;

using support::Act;
using support::TableForm;

const forms::Layout& kLayout = support::kEngineLayout;

QString NameOf(const ControlDef& def) {
  return QString::fromStdString(support::NameOf(def));
}

class QtBindingTest : public ::testing::Test {
 protected:
  QtBindingTest() {
    binding_.Build(form_);
    binding_.Window().show();
    binding_.Window().activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&binding_.Window()));
  }

  template <typename W = QWidget>
  W* Widget(std::string_view name, int index = -1) {
    const ControlDef& def = kLayout.Definition(name, index);
    return binding_.Window().findChild<W*>(NameOf(def));
  }

  forms::qt::QtBinding binding_;
  TableForm form_{binding_};
};

// ---- The window as its layout draws it ---------------------------------------------------------

TEST_F(QtBindingTest, WindowIsFixedSizeWithTitleIconAndNoMinimiseOrMaximise) {
  QWidget& window = binding_.Window();
  EXPECT_EQ(window.size(), QSize(360, 300));
  EXPECT_EQ(window.minimumSize(), QSize(360, 300));
  EXPECT_EQ(window.maximumSize(), QSize(360, 300));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Engine test"));
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(window.windowIcon().availableSizes().contains(QSize(24, 24)));
}

TEST_F(QtBindingTest, EveryControlHasItsPlaceFontColourAndState) {
  int checked = 0;
  for (const ControlDef& def : kLayout.controls) {
    SCOPED_TRACE(NameOf(def).toStdString());
    QWidget* widget = Widget(def.name, def.index);
    if (def.kind == Kind::Timer) {
      EXPECT_EQ(widget, nullptr);
      continue;
    }
    ASSERT_NE(widget, nullptr);
    ++checked;
    if (def.kind == Kind::Line) {
      const QRect ends =
          QRect(QPoint(Px(def.left), Px(def.top)), QPoint(Px(def.width), Px(def.height)))
              .normalized();
      EXPECT_EQ(widget->geometry(), ends);
      EXPECT_GE(widget->y(), 300);  // below the client area
      continue;
    }
    EXPECT_EQ(widget->geometry(), QRect(Px(def.left), Px(def.top), Px(def.width), Px(def.height)));
    EXPECT_EQ(widget->isVisibleTo(&binding_.Window()), def.visible);
    EXPECT_EQ(widget->isEnabled(), def.enabled);
    if (!def.font.face.empty()) {
      const QFontInfo font(widget->font());
      EXPECT_TRUE(font.family() == "Arial" || font.family() == "Liberation Sans")
          << font.family().toStdString();
      EXPECT_EQ(font.pixelSize(), forms::FontPixels(def.font.points));
      EXPECT_EQ(font.bold(), def.font.bold);
      EXPECT_EQ(font.underline(), def.font.underline);
    }
    if (def.has_back) {
      EXPECT_EQ(widget->palette().color(QPalette::Base),
                QColor(def.back.r, def.back.g, def.back.b));
    }
    if (def.has_fore) {
      EXPECT_EQ(widget->palette().color(QPalette::Text),
                QColor(def.fore.r, def.fore.g, def.fore.b));
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      EXPECT_EQ(edit->text().toStdU16String(), def.text);
      EXPECT_EQ(edit->alignment() & Qt::AlignHorizontal_Mask,
                def.align == forms::Align::Center ? Qt::AlignHCenter : Qt::AlignLeft);
    }
    if (auto* label = qobject_cast<QLabel*>(widget); label && def.kind == Kind::Label) {
      EXPECT_EQ(label->text().toStdU16String(), def.text);
      EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_EQ(button->text().toStdU16String(), def.text);
    }
  }
  EXPECT_EQ(checked, 13);

  // The multi-line box shows its text's line break as a new line.
  EXPECT_EQ(Widget<QPlainTextEdit>("Notes")->toPlainText(), QStringLiteral("Type here\n"));
  EXPECT_EQ(Widget<QLineEdit>("Link")->cursor().shape(), Qt::ArrowCursor);
  auto* bar = Widget<QScrollBar>("Bar");
  EXPECT_EQ(bar->orientation(), Qt::Vertical);
  EXPECT_EQ(bar->minimum(), 1);
  EXPECT_EQ(bar->maximum(), 5001);
  EXPECT_EQ(bar->singleStep(), 100);
  EXPECT_EQ(bar->pageStep(), 600);
  EXPECT_EQ(bar->value(), 10);
}

TEST_F(QtBindingTest, PictureSitsInATwoPixelSunkenFrame) {
  auto* picture = Widget<QLabel>("Picture");
  EXPECT_EQ(picture->frameShadow(), QFrame::Sunken);
  EXPECT_EQ(picture->frameWidth(), 2);
  EXPECT_EQ(picture->contentsRect(), QRect(2, 2, 128, 256));
  EXPECT_EQ(picture->pixmap().size(), QSize(128, 256));
}

TEST_F(QtBindingTest, ControlsStackAsTheEngineSays) {
  // A window's children are listed back to front.
  std::vector<std::string> stacked;
  for (QObject* child : binding_.Window().children()) {
    const std::string name = child->objectName().toStdString();
    if (qobject_cast<QWidget*>(child) != nullptr && !name.empty())
      stacked.insert(stacked.begin(), name);
  }
  EXPECT_EQ(stacked, support::kFrontToBack);
}

TEST_F(QtBindingTest, TabVisitsTheStopsInTheirOrderNotTheStoredOne) {
  Widget("Key", 0)->setFocus();
  QStringList visited{QApplication::focusWidget()->objectName()};
  for (int i = 0; i < 8; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    visited << QApplication::focusWidget()->objectName();
  }
  // The disabled, the hidden and the label are passed over.
  const QStringList expected{"Key(0)", "Key(1)", "Key(2)", "Entry", "Go",
                             "Bar",    "Link",   "Notes",  "Key(0)"};
  EXPECT_EQ(visited, expected);

  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget()->objectName(), QStringLiteral("Notes"));
}

// ---- Input as the form engine's events ------------------------------------------------------

TEST_F(QtBindingTest, KeysOnAButtonKeysDoNotPressMakeNoMouseDown) {
  auto& key = form_.Get<forms::Button>("Key", 1);
  int presses = 0;
  key.MouseDown = [&](int16_t, int16_t, float, float) { ++presses; };
  auto* widget = Widget("Key", 1);
  widget->setFocus();
  for (auto k : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter, Qt::Key_5}) {
    QTest::keyClick(widget, k);
  }
  EXPECT_EQ(presses, 0);
}

TEST_F(QtBindingTest, SpaceOnAButtonClicksIt) {
  auto& play = form_.Get<forms::Button>("Go");
  int clicks = 0;
  play.Click = [&] { ++clicks; };
  QTest::keyClick(Widget("Go"), Qt::Key_Space);
  EXPECT_EQ(clicks, 1);
}

// The dialer's own layout on the binding, each keypad key recording its MouseDown.
class DialerWindowTest : public ::testing::Test {
 protected:
  DialerWindowTest() {
    binding_.Build(form_);
    for (int i = 0; i < 16; ++i) {
      form_.Get<forms::Button>("Command2", i).MouseDown =
          [this, i](int16_t, int16_t, float, float) { pressed.push_back(i); };
    }
    binding_.Window().show();
    binding_.Window().activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&binding_.Window()));
  }
  QPushButton* Key(int index) {
    return binding_.Window().findChild<QPushButton*>(QStringLiteral("Command2(%1)").arg(index));
  }
  static void Send(QWidget* to, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers,
                   const QString& text, bool repeat = false) {
    QKeyEvent event(type, key, modifiers, text, repeat);
    QApplication::sendEvent(to, &event);
  }

  forms::qt::QtBinding binding_;
  TableForm form_{binding_, dialer::Form1Layout()};
  std::vector<int> pressed;
};

// Qt's key for a typed character: its upper case, or the character itself.
int QtKeyOf(char16_t c) {
  return c >= u'a' && c <= u'z' ? Qt::Key_A + (c - u'a') : c;
}

TEST_F(DialerWindowTest, TypedKeysPressTheirKeypadKeysWhileHeldDown) {
  QPushButton* focus = Key(1);
  focus->setFocus();
  for (const auto& k : support::kTypedKeys) {
    const QString text(QChar(k.typed));
    const bool shifted =
        !k.keypad && (QChar(k.typed).isUpper() || k.typed == u'#' || k.typed == u'*');
    const Qt::KeyboardModifiers modifiers = k.keypad  ? Qt::KeypadModifier
                                            : shifted ? Qt::ShiftModifier
                                                      : Qt::NoModifier;
    pressed.clear();
    Send(focus, QEvent::KeyPress, QtKeyOf(k.typed), modifiers, text);
    EXPECT_EQ(pressed, k.index < 0 ? std::vector<int>{} : std::vector<int>{k.index})
        << char(k.typed);
    const bool down = k.index >= 0 && Key(k.index)->isDown();
    EXPECT_EQ(down, k.index >= 0) << char(k.typed);
    Send(focus, QEvent::KeyRelease, QtKeyOf(k.typed), modifiers, text);
    EXPECT_FALSE(k.index >= 0 && Key(k.index)->isDown()) << char(k.typed);
  }
}

TEST_F(DialerWindowTest, AKeyPressIsOneToneByKeySpaceEnterMouseOrAccessibleAction) {
  QPushButton* five = Key(5);
  five->setFocus();
  Send(five, QEvent::KeyPress, Qt::Key_7, Qt::NoModifier, QStringLiteral("7"));
  Send(five, QEvent::KeyPress, Qt::Key_7, Qt::NoModifier, QStringLiteral("7"), true);
  Send(five, QEvent::KeyRelease, Qt::Key_7, Qt::NoModifier, QStringLiteral("7"), true);
  EXPECT_TRUE(Key(8)->isDown());  // a repeat's release is not the key's
  Send(five, QEvent::KeyRelease, Qt::Key_7, Qt::NoModifier, QStringLiteral("7"));
  int clicks = 0;
  form_.Get<forms::Button>("Command2", 5).Click = [&] { ++clicks; };
  QTest::keyClick(five, Qt::Key_Space);
  QTest::keyClick(five, Qt::Key_Return);
  QTest::keyClick(five, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(pressed, (std::vector<int>{8, 5, 5, 5}));
  EXPECT_EQ(clicks, 0);  // the keys press; the widget never saw them
  QTest::mouseClick(five, Qt::LeftButton);
  EXPECT_EQ(pressed.size(), 5u);
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(five);
  ASSERT_NE(accessible, nullptr);
  ASSERT_NE(accessible->actionInterface(), nullptr);
  accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_TRUE(QTest::qWaitFor([&] { return clicks == 2; }, 5000));
  EXPECT_EQ(pressed, (std::vector<int>{8, 5, 5, 5, 5, 5}));
  // In a text box the keys are the box's.
  auto* dial = binding_.Window().findChild<QLineEdit*>(QStringLiteral("Text1"));
  dial->setFocus();
  QTest::keyClicks(dial, "5#");
  EXPECT_EQ(dial->text(), QStringLiteral("5#"));
  EXPECT_EQ(pressed.size(), 6u);
}

TEST_F(DialerWindowTest, ScreenReadersFindEveryControlNamedAndTheKeysTones) {
  for (const ControlDef& def : dialer::Form1Layout().controls) {
    if (def.kind == Kind::Timer) continue;
    QAccessibleInterface* a =
        QAccessible::queryAccessibleInterface(binding_.Window().findChild<QWidget*>(NameOf(def)));
    ASSERT_NE(a, nullptr) << NameOf(def).toStdString();
    EXPECT_FALSE(a->text(QAccessible::Name).trimmed().isEmpty()) << NameOf(def).toStdString();
  }
  const auto text = [this](const char* name, QAccessible::Text which) {
    return QAccessible::queryAccessibleInterface(
               binding_.Window().findChild<QWidget*>(QLatin1String(name)))
        ->text(which);
  };
  EXPECT_EQ(text("Text1", QAccessible::Name), QStringLiteral("Dial string"));
  EXPECT_EQ(text("Command2(5)", QAccessible::Name), QStringLiteral("5"));
  EXPECT_EQ(text("Command2(5)", QAccessible::Description), QStringLiteral("770 Hz and 1336 Hz"));
  EXPECT_EQ(text("Command2(15)", QAccessible::Description), QStringLiteral("941 Hz and 1633 Hz"));
  form_.Get<forms::ScrollBar>("VScroll1").SetDescription(u"- 25 dB");
  EXPECT_EQ(text("VScroll1", QAccessible::Description), QStringLiteral("- 25 dB"));
}

struct KeyUp {
  int16_t code, shift;
  std::u16string text;  // the box's text as the model held it at the key-up
  bool operator==(const KeyUp&) const = default;
};

void PrintTo(const KeyUp& k, std::ostream* os) {
  *os << "{" << k.code << ", " << k.shift << ", \""
      << QString::fromStdU16String(k.text).toStdString() << "\"}";
}

TEST_F(QtBindingTest, TypedTextReachesTheModelBeforeTheKeyUp) {
  auto& box = form_.Get<forms::TextBox>("Entry");
  std::vector<KeyUp> ups;
  box.KeyUp = [&](int16_t code, int16_t shift) { ups.push_back({code, shift, box.Text()}); };
  auto* edit = Widget<QLineEdit>("Entry");
  edit->setFocus();
  edit->end(false);

  QTest::keyClick(edit, Qt::Key_5);
  QTest::keyClick(edit, Qt::Key_Backspace);
  QTest::keyClick(edit, Qt::Key_A, Qt::ShiftModifier);
  QTest::keyClick(edit, Qt::Key_Return);
  QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
  QTest::keyClick(edit, Qt::Key_7, Qt::KeypadModifier);
  // The Shift key reports a key-up of its own when it is let go.
  const std::vector<KeyUp> expected = {{53, 0, u"405"},  {8, 0, u"40"},   {65, 1, u"40a"},
                                       {16, 0, u"40a"},  {13, 0, u"40a"}, {13, 0, u"40a"},
                                       {103, 0, u"40a7"}};
  EXPECT_EQ(ups, expected);
  EXPECT_EQ(box.Text(), u"40a7");

  // The program's text shows at once and raises no key event.
  box.SetText(u"100");
  EXPECT_EQ(edit->text(), QStringLiteral("100"));
  EXPECT_EQ(ups.size(), 7u);

  // A long text is shown whole, so the next keystroke cannot hand back a shortened one.
  const std::u16string dial(40000, u'5');
  box.SetText(dial);
  edit->end(false);
  QTest::keyClick(edit, Qt::Key_0);
  EXPECT_EQ(box.Text(), dial + u"0");

  // What an assistive technology puts into the box is the user's text too.
  box.SetText(u"12");
  QAccessible::queryAccessibleInterface(edit)->editableTextInterface()->replaceText(0, 0, "9");
  EXPECT_EQ(box.Text(), u"912");
}

TEST_F(QtBindingTest, MultiLineBoxHoldsCarriageReturnLineFeedInTheModel) {
  auto& box = form_.Get<forms::TextBox>("Notes");
  int focused = 0;
  std::u16string at_enter;
  box.GotFocus = [&] {
    ++focused;
    box.SetText(u"");
  };
  box.KeyUp = [&](int16_t code, int16_t) {
    if (code == 13) at_enter = box.Text();
  };
  auto* edit = Widget<QPlainTextEdit>("Notes");
  Widget("Link")->setFocus();
  QTest::keyClick(Widget("Link"), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), edit);
  EXPECT_EQ(focused, 1);
  EXPECT_EQ(edit->toPlainText(), QString());

  QTest::keyClicks(edit, "Hi");
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(at_enter, u"Hi\r\n");

  box.SetText(u"a\r\nb\r\n");
  EXPECT_EQ(edit->toPlainText(), QStringLiteral("a\nb\n"));
  edit->moveCursor(QTextCursor::End);
  QTest::keyClicks(edit, "c");
  EXPECT_EQ(box.Text(), u"a\r\nb\r\nc");
}

class UrlRecorder final : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened << url; }
};

TEST_F(QtBindingTest, WebLinkGoesToTheDesktopsUrlOpener) {
  UrlRecorder recorder;
  QDesktopServices::setUrlHandler("http", &recorder, "open");
  binding_.OpenUrl("http://www.pelorin.example/index.html", binding_.ProgramFolder());
  // An ANSI host name (é is 0xE9 in the code page) reaches the opener as that character.
  binding_.OpenUrl("http://caf\xE9.example/index.html", binding_.ProgramFolder());
  QDesktopServices::unsetUrlHandler("http");
  ASSERT_EQ(recorder.opened.size(), 2);
  EXPECT_EQ(recorder.opened[0], QUrl("http://www.pelorin.example/index.html"));
  EXPECT_EQ(recorder.opened[1], QUrl(QString::fromUtf8("http://café.example/index.html")));
}

QRect PartOf(QScrollBar* bar, QStyle::SubControl part) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.orientation = Qt::Vertical;
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  option.upsideDown = bar->invertedAppearance();
  return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar);
}

TEST_F(QtBindingTest, ScrollBarShowsAProgramAssignmentWhichChangesOnce) {
  auto& model = form_.Get<forms::ScrollBar>("Bar");
  model.SetValue(2501);
  EXPECT_EQ(Widget<QScrollBar>("Bar")->value(), 2501);
  EXPECT_EQ(form_.log, std::vector<std::string>{"Bar Change 2501"});
}

TEST_F(QtBindingTest, DraggingTheThumbWithTheMouseScrollsAndTheReleaseChanges) {
  auto* bar = Widget<QScrollBar>("Bar");
  const QPoint from = PartOf(bar, QStyle::SC_ScrollBarSlider).center();
  QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, from);
  for (int dy = 10; dy <= 60; dy += 10) QTest::mouseMove(bar, from + QPoint(0, dy));
  ASSERT_GE(form_.log.size(), 2u);
  for (const std::string& entry : form_.log) EXPECT_EQ(entry.rfind("Bar Scroll ", 0), 0u) << entry;
  QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, from + QPoint(0, 60));
  const std::string last = form_.log[form_.log.size() - 2];
  EXPECT_EQ(form_.log.back(), "Bar Change " + last.substr(last.rfind(' ') + 1));
  EXPECT_EQ(form_.Get<forms::ScrollBar>("Bar").Value(), bar->value());
}

// The event scripts, each on a window of its own, with the widgets' own input: mouse events as
// the window system delivers them, the scroll bar's arrows and track clicked and its keys typed;
// a thumb is moved as a drag moves it (held down, then placed).
class ScriptRunner final : public QObject {
 public:
  ScriptRunner() {
    binding_.Build(form);
    binding_.Window().installEventFilter(this);
    binding_.Window().show();
    binding_.Window().activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&binding_.Window()));
  }
  ~ScriptRunner() override { binding_.Window().removeEventFilter(this); }

  void Do(const support::Input& in) {
    QWidget& window = binding_.Window();
    QWidget* widget = in.name.empty()
                          ? nullptr
                          : window.findChild<QWidget*>(NameOf(form.Definition(in.name, in.index)));
    auto* bar = qobject_cast<QScrollBar*>(widget);
    const Qt::MouseButton button = in.button == 1   ? Qt::LeftButton
                                   : in.button == 2 ? Qt::RightButton
                                                    : Qt::MiddleButton;
    const Qt::KeyboardModifiers shift = in.shift == 1   ? Qt::ShiftModifier
                                        : in.shift == 2 ? Qt::ControlModifier
                                                        : Qt::NoModifier;
    const QPoint at(in.x, in.y);
    switch (in.act) {
      case Act::Press:
        QTest::mousePress(widget, button, shift, at);
        break;
      case Act::Release:
        QTest::mouseRelease(widget, button, shift, at);
        break;
      case Act::Click:
        QTest::mouseClick(widget, button, shift, at);
        break;
      case Act::DoubleClick:
        QTest::mouseDClick(widget, button, shift, at);
        break;
      case Act::ThumbMove:
        if (!bar->isSliderDown()) bar->setSliderDown(true);
        bar->setSliderPosition(in.value);
        break;
      case Act::ThumbRelease:
        bar->setSliderPosition(in.value);
        bar->setSliderDown(false);
        break;
      case Act::Step:
        Step(bar, in.step);
        break;
      case Act::Close:
        window.close();
        break;
      case Act::EndSession:
        binding_.CloseOnTerminationSignals();
        std::raise(SIGTERM);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 5000));
        break;
    }
  }

  // Runs what the input left queued; `settled`: no thumb is held.
  void Settle(bool settled) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    if (!settled) return;
    const int16_t value = form.Get<forms::ScrollBar>("Bar").Value();
    const int shown = binding_.Window().findChild<QScrollBar*>("Bar")->value();
    if (shown != value) form.log.push_back("Bar shows " + std::to_string(shown));
  }

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::WindowTitleChange) {
      form.log.push_back(support::TitleEntry(binding_.Window().windowTitle().toStdU16String()));
    }
    return false;
  }

 private:
  static void Step(QScrollBar* bar, forms::ScrollStep step) {
    const auto click = [bar](QStyle::SubControl part) {
      QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, PartOf(bar, part).center());
    };
    bar->setFocus();
    switch (step) {
      case forms::ScrollStep::LineUp:
        return click(QStyle::SC_ScrollBarSubLine);
      case forms::ScrollStep::LineDown:
        return click(QStyle::SC_ScrollBarAddLine);
      case forms::ScrollStep::PageUp:
        return click(QStyle::SC_ScrollBarSubPage);
      case forms::ScrollStep::PageDown:
        return click(QStyle::SC_ScrollBarAddPage);
      case forms::ScrollStep::Top:
        return QTest::keyClick(bar, Qt::Key_Home);
      case forms::ScrollStep::Bottom:
        return QTest::keyClick(bar, Qt::Key_End);
    }
  }

  forms::qt::QtBinding binding_;

 public:
  TableForm form{binding_};
};

TEST(EventScripts, RunOnTheQtBinding) {
  for (const support::Script& script : support::kScripts) {
    SCOPED_TRACE(std::string(script.what));
    ScriptRunner run;
    for (const support::Input& in : script.inputs) {
      run.Do(in);
      run.Settle(in.act != Act::ThumbMove);
    }
    EXPECT_EQ(run.form.log, script.out);
  }
}

// ---- Window services ----------------------------------------------------------------------

TEST_F(QtBindingTest, TimerTicksOneIntervalAfterTheLatestEnable) {
  auto& timer = form_.Get<forms::Timer>("Tick");  // 1500 ms
  int ticks = 0;
  timer.Tick = [&] { ++ticks; };
  timer.SetEnabled(true);
  QTest::qWait(500);
  EXPECT_EQ(ticks, 0);
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  // The count starts afresh: a whole interval is left, not the 1000 ms of the first one.
  bool restarted = false;
  for (QTimer* t : binding_.findChildren<QTimer*>()) {
    if (t->isActive() && t->interval() == 1500) restarted = t->remainingTime() > 1400;
  }
  EXPECT_TRUE(restarted);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks == 1; }, 5000));
  timer.SetEnabled(false);
  QTest::qWait(50);
  EXPECT_EQ(ticks, 1);
}

TEST_F(QtBindingTest, ErrorLeavingAHandlerIsShownAndTheWindowKeepsRunning) {
  auto& play = form_.Get<forms::Button>("Go");
  play.Click = [] { throw runtime::Error(runtime::kPathFileAccess, "Path/File access error"); };
  QString shown, title;
  QTimer::singleShot(0, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      title = box->windowTitle();
      box->button(QMessageBox::Ok)->click();
    }
  });
  QTest::mouseClick(Widget("Go"), Qt::LeftButton);
  EXPECT_EQ(shown, QStringLiteral("Path/File access error"));
  EXPECT_EQ(title, QStringLiteral("Engine test"));
  EXPECT_TRUE(binding_.Window().isVisible());

  int clicks = 0;
  play.Click = [&] { ++clicks; };
  QTest::mouseClick(Widget("Go"), Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
}

TEST_F(QtBindingTest, PostedCallsRunOnTheWindowThreadInOrder) {
  std::vector<int> order;
  std::vector<QThread*> threads;
  std::thread sender([&] {
    for (int i = 0; i < 100; ++i) {
      binding_.Post([&, i] {
        order.push_back(i);
        threads.push_back(QThread::currentThread());
      });
    }
  });
  sender.join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return order.size() == 100; }, 5000));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  for (QThread* t : threads) EXPECT_EQ(t, QApplication::instance()->thread());
}

TEST_F(QtBindingTest, ATerminationSignalEndsAMessageBoxAndTheProgramOnce) {
  binding_.CloseOnTerminationSignals();
  QTimer::singleShot(0, [] { std::raise(SIGTERM); });
  QTimer guard;  // should a box or Run wait for a user, they are ended rather than hang
  QObject::connect(&guard, &QTimer::timeout, [] {
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
    QCoreApplication::exit(2);
  });
  guard.start(10000);
  QElapsedTimer shown;
  shown.start();
  binding_.ShowMessage(u"waits for a user");
  EXPECT_LT(shown.elapsed(), 5000);
  EXPECT_EQ(form_.unloads, 1);
  EXPECT_FALSE(binding_.Window().isVisible());

  // From now on nothing waits and nothing runs twice; a message goes to standard error, and the
  // exit status says so.
  std::raise(SIGTERM);
  QCoreApplication::processEvents();
  binding_.ShowMessage(u"the settings could not be saved");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(binding_.Run(), 1);
  EXPECT_EQ(form_.unloads, 1);
  EXPECT_FALSE(binding_.Window().isVisible());
}

}  // namespace

int main(int argc, char** argv) {
  // No display is needed: the widgets render offscreen.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#include "qt_binding_test.moc"
