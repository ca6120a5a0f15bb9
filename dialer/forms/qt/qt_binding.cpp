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
#include <QStyleFactory>
#include <QTextOption>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "dialer/forms/qt/qt_input.h"
#include "dialer/forms/qt/termination_signals.h"
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

// Multi-line text as the model holds it (lines end in CR LF) and as the widget holds it (LF).
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

}  // namespace

QtBinding::QtBinding() : repeats_(std::make_unique<KeyRepeats>()) {}

QtBinding::~QtBinding() {
  // The widgets must not call back into the binding while it is being taken apart.
  for (auto& [object, control] : controls_) const_cast<QObject*>(object)->removeEventFilter(this);
  if (window_) window_->removeEventFilter(this);
  signals_.reset();
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
      return form_->UserKeyDown(&control, KeyIdentity(*key), KeyCode(key->key(), key->modifiers()),
                                ShiftState(key->modifiers()), TypedCharacter(*key),
                                repeats_->IsRepeat(*key));
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
      repeats_->Released(*key);
      if (!key->isAutoRepeat() && form_->UserKeyUp(KeyIdentity(*key))) return true;
      auto* box = dynamic_cast<TextBox*>(&control);
      if (box && !key->isAutoRepeat()) {
        box->UserKeyUp(KeyCode(key->key(), key->modifiers()), ShiftState(key->modifiers()));
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
  if (!signals_) signals_ = std::make_unique<TerminationSignals>(*this, [this] { EndOnSignal(); });
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
