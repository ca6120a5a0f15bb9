#include "dialer/forms/qt/qt_binding.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTextOption>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <csignal>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "runtime/codepage.h"

namespace forms::qt {
namespace {

QString ToQ(std::u16string_view text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

std::u16string FromQ(const QString& text) {
  return text.toStdU16String();
}

// The table names Arial; where it is not installed, Liberation Sans has the same metrics.
QString FontFamily(std::string_view face) {
  const QString wanted = QString::fromLatin1(face.data(), static_cast<qsizetype>(face.size()));
  if (QFontDatabase::families().contains(wanted, Qt::CaseInsensitive)) return wanted;
  if (wanted.compare(QLatin1String("Arial"), Qt::CaseInsensitive) == 0) {
    return QStringLiteral("Liberation Sans");
  }
  return wanted;
}

QFont MakeFont(const Font& def) {
  QFont font(FontFamily(def.face));
  font.setPixelSize(FontPixels(def.points));
  font.setBold(def.bold);
  font.setUnderline(def.underline);
  return font;
}

QColor ToColor(const Rgb& c) {
  return QColor(c.r, c.g, c.b);
}

Qt::Alignment ToAlignment(Align align) {
  return align == Align::Center ? Qt::AlignHCenter : Qt::AlignLeft;
}

// A scroll area's own parts are objects of the accessibility tree beside its text, hidden ones
// too: the viewport and the two scroll bars, each bar in a container of its own. Each is named
// after its box, so that nothing a screen reader walks through goes unnamed.
void NameScrollAreaParts(QAbstractScrollArea& area, const QString& name) {
  area.viewport()->setAccessibleName(name);
  const std::pair<QScrollBar*, QString> bars[] = {
      {area.horizontalScrollBar(), name + QStringLiteral(", horizontal")},
      {area.verticalScrollBar(), name + QStringLiteral(", vertical")}};
  for (const auto& [bar, bar_name] : bars) {
    bar->setAccessibleName(bar_name);
    bar->parentWidget()->setAccessibleName(bar_name);
  }
}

// A straight line between two points of the table, in the line's own colour.
class LineWidget final : public QWidget {
 public:
  LineWidget(QWidget* parent, QPoint from, QPoint to) : QWidget(parent), from_(from), to_(to) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawLine(from_, to_);
  }

 private:
  QPoint from_, to_;
};

// The signal handler's way to the window's thread: it writes a byte into one end, and the window's
// thread reads the other.
int signal_pipe[2] = {-1, -1};
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(signal_pipe[0], &byte, 1);
}

class FormWindow final : public QWidget {
 public:
  explicit FormWindow(Form& form) : form_(form) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    form_.UserClose();
    event->accept();
  }

 private:
  Form& form_;
};

// The same number at a key's press and at its release, whatever the modifiers did in between:
// the window system's key code, or Qt's key where there is none (synthesized events).
int KeyIdentity(const QKeyEvent& key) {
  return key.nativeScanCode() != 0 ? static_cast<int>(key.nativeScanCode()) : key.key();
}

// The character the keyboard layout made of a key; Enter on either pad as a carriage return.
char16_t TypedCharacter(const QKeyEvent& key) {
  if (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) return u'\r';
  const QString text = key.text();
  return text.size() == 1 ? static_cast<char16_t>(text[0].unicode()) : char16_t{0};
}

}  // namespace

int16_t VirtualKeyCode(int qt_key, Qt::KeyboardModifiers modifiers) {
  if (modifiers & Qt::KeypadModifier) {
    if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) {
      return static_cast<int16_t>(0x60 + (qt_key - Qt::Key_0));
    }
    switch (qt_key) {
      case Qt::Key_Asterisk:
        return 0x6A;
      case Qt::Key_Plus:
        return 0x6B;
      case Qt::Key_Minus:
        return 0x6D;
      case Qt::Key_Period:
      case Qt::Key_Comma:
        return 0x6E;
      case Qt::Key_Slash:
        return 0x6F;
      default:
        break;
    }
  }
  if ((qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) ||
      (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z)) {
    return static_cast<int16_t>(qt_key);  // Qt uses the same ASCII codes for these keys
  }
  if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F24) {
    return static_cast<int16_t>(0x70 + (qt_key - Qt::Key_F1));
  }
  // Shifted and punctuation keys give the code of their key on a US keyboard.
  static constexpr std::pair<int, int16_t> kKeys[] = {
      {Qt::Key_Return, 13},       {Qt::Key_Enter, 13},         {Qt::Key_Backspace, 8},
      {Qt::Key_Tab, 9},           {Qt::Key_Backtab, 9},        {Qt::Key_Escape, 27},
      {Qt::Key_Space, 32},        {Qt::Key_PageUp, 33},        {Qt::Key_PageDown, 34},
      {Qt::Key_End, 35},          {Qt::Key_Home, 36},          {Qt::Key_Left, 37},
      {Qt::Key_Up, 38},           {Qt::Key_Right, 39},         {Qt::Key_Down, 40},
      {Qt::Key_Print, 44},        {Qt::Key_Insert, 45},        {Qt::Key_Delete, 46},
      {Qt::Key_Shift, 16},        {Qt::Key_Control, 17},       {Qt::Key_Alt, 18},
      {Qt::Key_Pause, 19},        {Qt::Key_CapsLock, 20},      {Qt::Key_Meta, 91},
      {Qt::Key_Menu, 93},         {Qt::Key_NumLock, 144},      {Qt::Key_ScrollLock, 145},
      {Qt::Key_ParenRight, 48},   {Qt::Key_Exclam, 49},        {Qt::Key_At, 50},
      {Qt::Key_NumberSign, 51},   {Qt::Key_Dollar, 52},        {Qt::Key_Percent, 53},
      {Qt::Key_AsciiCircum, 54},  {Qt::Key_Ampersand, 55},     {Qt::Key_Asterisk, 56},
      {Qt::Key_ParenLeft, 57},    {Qt::Key_Semicolon, 186},    {Qt::Key_Colon, 186},
      {Qt::Key_Equal, 187},       {Qt::Key_Plus, 187},         {Qt::Key_Comma, 188},
      {Qt::Key_Less, 188},        {Qt::Key_Minus, 189},        {Qt::Key_Underscore, 189},
      {Qt::Key_Period, 190},      {Qt::Key_Greater, 190},      {Qt::Key_Slash, 191},
      {Qt::Key_Question, 191},    {Qt::Key_QuoteLeft, 192},    {Qt::Key_AsciiTilde, 192},
      {Qt::Key_BracketLeft, 219}, {Qt::Key_BraceLeft, 219},    {Qt::Key_Backslash, 220},
      {Qt::Key_Bar, 220},         {Qt::Key_BracketRight, 221}, {Qt::Key_BraceRight, 221},
      {Qt::Key_Apostrophe, 222},  {Qt::Key_QuoteDbl, 222},
  };
  for (const auto& [key, code] : kKeys) {
    if (key == qt_key) return code;
  }
  return 0;
}

int16_t ShiftState(Qt::KeyboardModifiers modifiers) {
  int16_t state = 0;
  if (modifiers & Qt::ShiftModifier) state |= 1;
  if (modifiers & Qt::ControlModifier) state |= 2;
  if (modifiers & Qt::AltModifier) state |= 4;
  return state;
}

int16_t MouseButtonCode(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton:
      return 1;
    case Qt::RightButton:
      return 2;
    case Qt::MiddleButton:
      return 4;
    default:
      return 0;
  }
}

std::u16string ToModelText(const QString& widget_text) {
  std::u16string text;
  text.reserve(static_cast<size_t>(widget_text.size()));
  for (QChar c : widget_text) {
    // A text document separates its lines with paragraph or line separators, plain text with LF.
    if (c == QLatin1Char('\n') || c == QChar::ParagraphSeparator || c == QChar::LineSeparator) {
      text += u"\r\n";
    } else {
      text += static_cast<char16_t>(c.unicode());
    }
  }
  return text;
}

QString ToWidgetText(const std::u16string& model_text) {
  QString text = ToQ(model_text);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

QtBinding::QtBinding() = default;

QtBinding::~QtBinding() {
  // The widgets must not call back into the binding while it is being taken apart.
  for (auto& [object, control] : controls_) const_cast<QObject*>(object)->removeEventFilter(this);
  if (window_) window_->removeEventFilter(this);
  if (stop_requests_) {
    // A signal from now on ends the process as it would have without the window.
    for (int signal : kTerminationSignals) std::signal(signal, SIG_DFL);
    stop_requests_.reset();
    for (int& end : signal_pipe) {
      close(end);
      end = -1;
    }
  }
}

void QtBinding::Build(Form& form) {
  form_ = &form;
  // One style everywhere, so the window looks the same on every desktop and in the tests.
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
    QApplication::setStyle(fusion);

  window_ = std::make_unique<FormWindow>(form);
  window_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint);
  window_->setFixedSize(Px(form.layout().client_width), Px(form.layout().client_height));
  window_->setWindowTitle(ToQ(form.Caption()));
  window_->setWindowIcon(QIcon(QStringLiteral(":/art/icon.png")));

  for (Control* control : form.Controls()) {
    QWidget* widget = MakeWidget(*control);
    if (widget == nullptr) continue;
    const ControlDef& def = control->def();
    widget->setObjectName(def.index < 0 ? QString::fromLatin1(def.name.data(), def.name.size())
                                        : QStringLiteral("%1(%2)")
                                              .arg(QLatin1String(def.name.data(), def.name.size()))
                                              .arg(def.index));
    if (!def.font.face.empty()) widget->setFont(MakeFont(def.font));
    QPalette palette = widget->palette();
    if (def.has_back) {
      for (auto role : {QPalette::Base, QPalette::Window, QPalette::Button}) {
        palette.setColor(role, ToColor(def.back));
      }
    }
    if (def.has_fore) {
      for (auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText}) {
        palette.setColor(role, ToColor(def.fore));
      }
    }
    widget->setPalette(palette);
    widget->setVisible(control->Visible());
    widget->setEnabled(control->Enabled());
    widget->setFocusPolicy(IsTabStop(def) ? Qt::StrongFocus : Qt::NoFocus);
    if (!def.accessible_name.empty()) {
      widget->setAccessibleName(ToQ(def.accessible_name));
      if (auto* area = qobject_cast<QAbstractScrollArea*>(widget)) {
        NameScrollAreaParts(*area, ToQ(def.accessible_name));
      }
    }
    widget->setAccessibleDescription(ToQ(control->Description()));
    widgets_[control] = widget;
    controls_[widget] = control;
    Connect(*control, widget);
  }

  // Lowered front to back, each goes beneath those before it.
  for (Control* control : form.Stacking()) {
    if (auto it = widgets_.find(control); it != widgets_.end()) it->second->lower();
  }

  // Keys held down come up when the window loses the keyboard.
  window_->installEventFilter(this);

  const std::vector<Control*> tab_order = form.TabOrder();
  for (size_t i = 1; i < tab_order.size(); ++i) {
    QWidget::setTabOrder(widgets_.at(tab_order[i - 1]), widgets_.at(tab_order[i]));
  }
}

QWidget* QtBinding::MakeWidget(Control& control) {
  const ControlDef& def = control.def();
  QWidget* parent = window_.get();
  QWidget* widget = nullptr;
  switch (def.kind) {
    case Kind::TextBox: {
      const auto& box = static_cast<TextBox&>(control);
      if (def.multiline) {
        auto* edit = new QPlainTextEdit(parent);
        edit->setTabChangesFocus(true);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        QTextOption option = edit->document()->defaultTextOption();
        option.setAlignment(ToAlignment(def.align));
        edit->document()->setDefaultTextOption(option);
        edit->setPlainText(ToWidgetText(box.Text()));
        if (def.arrow_cursor) edit->viewport()->setCursor(Qt::ArrowCursor);
        widget = edit;
      } else {
        auto* edit = new QLineEdit(parent);
        // No limit of the widget's own: a long text must not be cut short.
        edit->setMaxLength(std::numeric_limits<int>::max());
        edit->setAlignment(ToAlignment(def.align) | Qt::AlignVCenter);
        edit->setText(ToQ(box.Text()));
        if (def.arrow_cursor) edit->setCursor(Qt::ArrowCursor);
        widget = edit;
      }
      break;
    }
    case Kind::Button: {
      auto* button = new QPushButton(ToQ(static_cast<Button&>(control).Caption()), parent);
      button->setAutoDefault(false);
      widget = button;
      break;
    }
    case Kind::ScrollBar: {
      auto* bar = new QScrollBar(Qt::Vertical, parent);
      bar->setRange(def.range.min, def.range.max);
      bar->setSingleStep(def.range.small_change);
      bar->setPageStep(def.range.large_change);
      bar->setValue(static_cast<ScrollBar&>(control).Value());
      widget = bar;
      break;
    }
    case Kind::Label: {
      auto* label = new QLabel(ToQ(static_cast<Label&>(control).Caption()), parent);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(ToAlignment(def.align) | Qt::AlignTop);
      widget = label;
      break;
    }
    case Kind::Picture: {
      auto* picture = new QLabel(parent);
      if (def.sunken) picture->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);  // 2 pixels
      picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      const QString name = QString::fromLatin1(def.artwork.data(), def.artwork.size());
      picture->setPixmap(QPixmap(QStringLiteral(":/art/%1.png").arg(name)));
      widget = picture;
      break;
    }
    case Kind::Line: {
      // A line's four numbers are its two end points.
      const QPoint a(Px(def.left), Px(def.top));
      const QPoint b(Px(def.width), Px(def.height));
      const QRect box = QRect(a, b).normalized();
      widget = new LineWidget(parent, a - box.topLeft(), b - box.topLeft());
      widget->setGeometry(box);
      return widget;
    }
    case Kind::Timer: {
      auto* timer = new QTimer(this);
      timer->setTimerType(Qt::PreciseTimer);
      auto& model = static_cast<Timer&>(control);
      connect(timer, &QTimer::timeout, this, [&model] { model.UserTick(); });
      timers_[&model] = timer;
      return nullptr;
    }
  }
  widget->setGeometry(Px(def.left), Px(def.top), Px(def.width), Px(def.height));
  return widget;
}

void QtBinding::Connect(Control& control, QWidget* widget) {
  switch (control.def().kind) {
    case Kind::TextBox: {
      auto& box = static_cast<TextBox&>(control);
      if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // Program assignments block the widget's signals, so this is the user's typing, or what
        // an assistive technology put in for the user (textEdited leaves that out); it comes
        // before the key's release.
        connect(edit, &QLineEdit::textChanged, this,
                [&box](const QString& text) { box.UserEdited(FromQ(text)); });
      } else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
        // Program assignments block the widget's signals, so this is the user's typing.
        connect(edit, &QPlainTextEdit::textChanged, this,
                [&box, edit] { box.UserEdited(ToModelText(edit->document()->toRawText())); });
        // Mouse input goes to the text area inside the frame.
        edit->viewport()->installEventFilter(this);
        controls_[edit->viewport()] = &control;
      }
      widget->installEventFilter(this);
      break;
    }
    case Kind::Button: {
      auto& button = static_cast<Button&>(control);
      connect(static_cast<QPushButton*>(widget), &QPushButton::clicked, this,
              [&button] { button.UserClick(); });
      widget->installEventFilter(this);
      break;
    }
    case Kind::ScrollBar: {
      auto& model = static_cast<ScrollBar&>(control);
      auto* bar = static_cast<QScrollBar*>(widget);
      // The widget steps by itself (arrows, track, keys); under a dragged thumb it reports the
      // move before the value that follows it.
      connect(bar, &QScrollBar::sliderMoved, this,
              [&model](int value) { model.UserThumbMoved(value); });
      connect(bar, &QScrollBar::sliderReleased, this,
              [&model, bar] { model.UserThumbReleased(bar->value()); });
      connect(bar, &QScrollBar::valueChanged, this,
              [&model](int value) { model.UserSettled(value); });
      widget->installEventFilter(this);  // for the keys
      break;
    }
    case Kind::Label:
    case Kind::Picture:
    case Kind::Line:
    case Kind::Timer:
      break;
  }
}

bool QtBinding::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_.get()) {
    if (event->type() == QEvent::WindowDeactivate) form_->UserKeysLost();
    return false;
  }
  const auto it = controls_.find(watched);
  if (it == controls_.end()) return false;
  Control& control = *it->second;
  switch (event->type()) {
    case QEvent::KeyPress: {
      auto* key = static_cast<QKeyEvent*>(event);
      // X repeats a held key as a release and a press, each stamped with the time it is made;
      // Qt marks them as a repeat only when the press had come in with the release, and of the
      // same millisecond. A finger cannot let a key go and press it again within 5 ms. Events
      // made without the window system carry no time.
      const bool repeat = key->isAutoRepeat() ||
                          (key->timestamp() != 0 && last_release_.first == KeyIdentity(*key) &&
                           key->timestamp() - last_release_.second <= 5);
      return form_->UserKeyDown(&control, KeyIdentity(*key),
                                VirtualKeyCode(key->key(), key->modifiers()),
                                ShiftState(key->modifiers()), TypedCharacter(*key), repeat);
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease:
      // The widget still handles the event: it shows itself pushed, clicks, places the cursor.
      OfferMouse(control, watched, *static_cast<QMouseEvent*>(event));
      break;
    case QEvent::KeyRelease: {
      // An auto-repeating key reports one release, when it is let go.
      auto* key = static_cast<QKeyEvent*>(event);
      if (!key->isAutoRepeat()) last_release_ = {KeyIdentity(*key), key->timestamp()};
      if (!key->isAutoRepeat() && form_->UserKeyUp(KeyIdentity(*key))) return true;
      auto* box = dynamic_cast<TextBox*>(&control);
      if (box && !key->isAutoRepeat()) {
        box->UserKeyUp(VirtualKeyCode(key->key(), key->modifiers()), ShiftState(key->modifiers()));
      }
      break;
    }
    case QEvent::FocusIn: {
      auto* box = dynamic_cast<TextBox*>(&control);
      // Focus coming back from the box's own context menu is not a new visit.
      if (box && static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        box->UserGotFocus();
      }
      break;
    }
    default:
      break;
  }
  return false;
}

void QtBinding::OfferMouse(Control& control, QObject* watched, const QMouseEvent& mouse) {
  // Positions count from the control's corner, also where the events go to the area inside its
  // frame.
  QWidget* widget = widgets_.at(&control);
  const QPointF at =
      (watched == widget ? mouse.position()
                         : static_cast<QWidget*>(watched)->mapTo(widget, mouse.position())) *
      kTwipsPerPixel;
  const int16_t button = MouseButtonCode(mouse.button());
  const int16_t shift = ShiftState(mouse.modifiers());
  const auto x = static_cast<float>(at.x());
  const auto y = static_cast<float>(at.y());
  if (mouse.type() != QEvent::MouseButtonRelease) {
    // The second press of a double click comes as a double-click event in place of a press.
    control.UserMouseDown(button, shift, x, y, mouse.type() == QEvent::MouseButtonDblClick);
    return;
  }
  // A push button handles the release, and makes its click, after this filter: its release is
  // told once that is over. Other widgets make no click of their own.
  if (control.def().kind != Kind::Button) {
    control.UserMouseUp(button, shift, x, y);
    return;
  }
  QMetaObject::invokeMethod(
      this, [&control, button, shift, x, y] { control.UserMouseUp(button, shift, x, y); },
      Qt::QueuedConnection);
}

void QtBinding::PropertyChanged(const Control& control, Property property) {
  const auto it = widgets_.find(&control);
  if (it == widgets_.end()) return;  // not built yet: Build reads the current state
  QWidget* widget = it->second;
  // Program assignments must not come back as user input.
  const QSignalBlocker blocker(widget);
  switch (property) {
    case Property::Text: {
      const auto& box = static_cast<const TextBox&>(control);
      if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(ToQ(box.Text()));
      } else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
        edit->setPlainText(ToWidgetText(box.Text()));
      }
      break;
    }
    case Property::Caption:
      if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(ToQ(static_cast<const Button&>(control).Caption()));
      }
      break;
    case Property::Visible:
      widget->setVisible(control.Visible());
      break;
    case Property::Enabled:
      widget->setEnabled(control.Enabled());
      break;
    case Property::Value:
      if (auto* bar = qobject_cast<QScrollBar*>(widget)) {
        bar->setValue(static_cast<const ScrollBar&>(control).Value());
      }
      break;
    case Property::Down:
      if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setDown(static_cast<const Button&>(control).Down());
      }
      break;
    case Property::Description:
      widget->setAccessibleDescription(ToQ(control.Description()));
      break;
  }
}

void QtBinding::ShowCaption(const std::u16string& caption) {
  if (window_) window_->setWindowTitle(ToQ(caption));
}

bool QtBinding::WhenIdle(std::function<void()> call) {
  // Before the window is built there is nothing to wait for: Build shows the caption.
  return window_ && QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void QtBinding::ArmTimer(Timer& timer) {
  timers_.at(&timer)->start(timer.Interval());
}

void QtBinding::DisarmTimer(Timer& timer) {
  timers_.at(&timer)->stop();
}

void QtBinding::ShowMessage(const std::u16string& text) {
  if (ending_) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 ToQ(text).toLocal8Bit().constData());
    told_on_stderr_ = true;
    return;
  }
  const std::u16string_view title = form_ != nullptr ? form_->layout().title : u"";
  QMessageBox box(QMessageBox::Warning, ToQ(title), ToQ(text), QMessageBox::Ok, window_.get());
  open_boxes_.push_back(&box);
  box.exec();
  open_boxes_.pop_back();
}

std::string QtBinding::ProgramFolder() {
  return QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString();
}

runtime::WindowHandle QtBinding::Handle() {
  return reinterpret_cast<runtime::WindowHandle>(window_->winId());
}

void QtBinding::OpenUrl(const std::string& address, const std::string& /*directory*/) {
  // The desktop's opener starts in a folder of its own choosing; the address is all it needs.
  QDesktopServices::openUrl(QUrl(ToQ(runtime::FromAnsi(address)), QUrl::TolerantMode));
}

void QtBinding::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void QtBinding::CloseOnTerminationSignals() {
  if (stop_requests_ || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) != 0) {
    return;
  }
  stop_requests_ = std::make_unique<QSocketNotifier>(signal_pipe[1], QSocketNotifier::Read);
  connect(stop_requests_.get(), &QSocketNotifier::activated, this, [this] {
    char byte;
    [[maybe_unused]] const ssize_t got = read(signal_pipe[1], &byte, 1);
    EndOnSignal();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kTerminationSignals) sigaction(signal, &action, nullptr);
}

void QtBinding::EndOnSignal() {
  if (ending_) return;
  ending_ = true;
  form_->UserClose();
  window_->hide();
  // Each box's loop ends; so does Run's, which also ends a box's that a handler opened in it.
  for (QDialog* box : open_boxes_) box->done(QMessageBox::Ok);
  if (running_) QCoreApplication::exit(told_on_stderr_ ? 1 : 0);
}

int QtBinding::Run() {
  if (ending_) return told_on_stderr_ ? 1 : 0;
  window_->show();
  running_ = true;
  const int status = QApplication::exec();
  running_ = false;
  return status;
}

}  // namespace forms::qt
