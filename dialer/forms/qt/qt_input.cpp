#include "dialer/forms/qt/qt_input.h"

#include <QKeyEvent>
#include <QString>

#include "dialer/forms/keys.h"

namespace forms::qt {

int16_t KeyCode(int qt_key, Qt::KeyboardModifiers modifiers) {
  if (modifiers & Qt::KeypadModifier) {
    if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) {
      return static_cast<int16_t>(Code(Key::Pad0) + (qt_key - Qt::Key_0));
    }
    static constexpr std::pair<int, Key> kPadKeys[] = {
        {Qt::Key_Asterisk, Key::PadMultiply}, {Qt::Key_Plus, Key::PadAdd},
        {Qt::Key_Minus, Key::PadSubtract},    {Qt::Key_Period, Key::PadDecimal},
        {Qt::Key_Comma, Key::PadDecimal},     {Qt::Key_Slash, Key::PadDivide},
    };
    for (const auto& [key, code] : kPadKeys) {
      if (key == qt_key) return Code(code);
    }
  }
  if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) {
    return static_cast<int16_t>(Code(Key::Digit0) + (qt_key - Qt::Key_0));
  }
  if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z) {
    return static_cast<int16_t>(Code(Key::A) + (qt_key - Qt::Key_A));
  }
  if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F24) {
    return static_cast<int16_t>(Code(Key::F1) + (qt_key - Qt::Key_F1));
  }
  // Shifted keys give the code of their key on a US keyboard: these are the digits' own.
  static constexpr int kShiftedDigits[] = {
      Qt::Key_ParenRight, Qt::Key_Exclam,    Qt::Key_At,          Qt::Key_NumberSign,
      Qt::Key_Dollar,     Qt::Key_Percent,   Qt::Key_AsciiCircum, Qt::Key_Ampersand,
      Qt::Key_Asterisk,   Qt::Key_ParenLeft,
  };
  for (int digit = 0; digit < 10; ++digit) {
    if (kShiftedDigits[digit] == qt_key) return static_cast<int16_t>(Code(Key::Digit0) + digit);
  }
  // The other keys; punctuation, shifted or not, as on a US keyboard.
  static constexpr std::pair<int, Key> kKeys[] = {
      {Qt::Key_Return, Key::Return},
      {Qt::Key_Enter, Key::Return},
      {Qt::Key_Backspace, Key::Backspace},
      {Qt::Key_Tab, Key::Tab},
      {Qt::Key_Backtab, Key::Tab},
      {Qt::Key_Escape, Key::Escape},
      {Qt::Key_Space, Key::Space},
      {Qt::Key_PageUp, Key::PageUp},
      {Qt::Key_PageDown, Key::PageDown},
      {Qt::Key_End, Key::End},
      {Qt::Key_Home, Key::Home},
      {Qt::Key_Left, Key::Left},
      {Qt::Key_Up, Key::Up},
      {Qt::Key_Right, Key::Right},
      {Qt::Key_Down, Key::Down},
      {Qt::Key_Print, Key::PrintScreen},
      {Qt::Key_Insert, Key::Insert},
      {Qt::Key_Delete, Key::Delete},
      {Qt::Key_Shift, Key::Shift},
      {Qt::Key_Control, Key::Control},
      {Qt::Key_Alt, Key::Alt},
      {Qt::Key_Pause, Key::Pause},
      {Qt::Key_CapsLock, Key::CapsLock},
      {Qt::Key_Meta, Key::Windows},
      {Qt::Key_Menu, Key::Menu},
      {Qt::Key_NumLock, Key::NumLock},
      {Qt::Key_ScrollLock, Key::ScrollLock},
      {Qt::Key_Semicolon, Key::Semicolon},
      {Qt::Key_Colon, Key::Semicolon},
      {Qt::Key_Equal, Key::Equals},
      {Qt::Key_Plus, Key::Equals},
      {Qt::Key_Comma, Key::Comma},
      {Qt::Key_Less, Key::Comma},
      {Qt::Key_Minus, Key::Minus},
      {Qt::Key_Underscore, Key::Minus},
      {Qt::Key_Period, Key::Period},
      {Qt::Key_Greater, Key::Period},
      {Qt::Key_Slash, Key::Slash},
      {Qt::Key_Question, Key::Slash},
      {Qt::Key_QuoteLeft, Key::Grave},
      {Qt::Key_AsciiTilde, Key::Grave},
      {Qt::Key_BracketLeft, Key::LeftBracket},
      {Qt::Key_BraceLeft, Key::LeftBracket},
      {Qt::Key_Backslash, Key::Backslash},
      {Qt::Key_Bar, Key::Backslash},
      {Qt::Key_BracketRight, Key::RightBracket},
      {Qt::Key_BraceRight, Key::RightBracket},
      {Qt::Key_Apostrophe, Key::Apostrophe},
      {Qt::Key_QuoteDbl, Key::Apostrophe},
  };
  for (const auto& [key, code] : kKeys) {
    if (key == qt_key) return Code(code);
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

int KeyIdentity(const QKeyEvent& key) {
  return key.nativeScanCode() != 0 ? static_cast<int>(key.nativeScanCode()) : key.key();
}

char16_t TypedCharacter(const QKeyEvent& key) {
  if (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) return u'\r';
  const QString text = key.text();
  return text.size() == 1 ? static_cast<char16_t>(text[0].unicode()) : char16_t{0};
}

bool KeyRepeats::IsRepeat(const QKeyEvent& press) const {
  // X repeats a held key as a release and a press, each stamped with the time it is made; Qt
  // marks them as a repeat only when the press had come in with the release, and of the same
  // millisecond. A finger cannot let a key go and press it again within 5 ms. Events made
  // without the window system carry no time.
  return press.isAutoRepeat() ||
         (press.timestamp() != 0 && last_release_.first == KeyIdentity(press) &&
          press.timestamp() - last_release_.second <= 5);
}

void KeyRepeats::Released(const QKeyEvent& release) {
  if (!release.isAutoRepeat()) last_release_ = {KeyIdentity(release), release.timestamp()};
}

}  // namespace forms::qt
