// The Qt binding's input translation: Qt's key and mouse events in the terms of the form engine's
// User* entry points (forms::Key codes, shift states, button numbers, a key's identity and its
// repeats). For the binding's own files.
#pragma once

#include <Qt>
#include <QtGlobal>
#include <cstdint>
#include <utility>

class QKeyEvent;

namespace forms::qt {

// The code of a Qt key as the engine's key events carry it (forms::Key), or 0 for a key without
// one.
int16_t KeyCode(int qt_key, Qt::KeyboardModifiers modifiers);
// Shift 1, Ctrl 2, Alt 4.
int16_t ShiftState(Qt::KeyboardModifiers modifiers);
// Mouse button as the MouseDown event gives it: left 1, right 2, middle 4.
int16_t MouseButtonCode(Qt::MouseButton button);

// The same number at a key's press and at its release, whatever the modifiers did in between:
// the window system's key code, or Qt's key where there is none (synthesized events).
int KeyIdentity(const QKeyEvent& key);
// The character the keyboard layout made of a key; Enter on either pad as a carriage return.
char16_t TypedCharacter(const QKeyEvent& key);

// Tells a held key's repeats from new presses.
class KeyRepeats {
 public:
  bool IsRepeat(const QKeyEvent& press) const;
  // Every release: an auto-repeating key reports one, when it is let go.
  void Released(const QKeyEvent& release);

 private:
  // The latest key release: the key and its time stamp.
  std::pair<int, quint64> last_release_{0, 0};
};

}  // namespace forms::qt
