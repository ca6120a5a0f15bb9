// The keys as a window's key events name them (KeyDown, KeyUp: `key_code`). The numbers are
// Windows' virtual-key codes, which the Win32 binding passes on as the system gives them and the
// other bindings translate to, so that a window's logic reads the same on every platform.
#pragma once

#include <cstdint>

namespace forms {

enum class Key : int16_t {
  Backspace = 0x08,
  Tab = 0x09,
  Return = 0x0D,  // Enter, on either pad
  Shift = 0x10,
  Control = 0x11,
  Alt = 0x12,
  Pause = 0x13,
  CapsLock = 0x14,
  Escape = 0x1B,
  Space = 0x20,
  PageUp = 0x21,
  PageDown = 0x22,
  End = 0x23,
  Home = 0x24,
  Left = 0x25,
  Up = 0x26,
  Right = 0x27,
  Down = 0x28,
  PrintScreen = 0x2C,
  Insert = 0x2D,
  Delete = 0x2E,
  // The top row's digits and the letters, from these on: the codes of '0' to '9' and 'A' to 'Z'.
  Digit0 = 0x30,
  A = 0x41,
  Windows = 0x5B,
  Menu = 0x5D,
  // The numeric pad: its digits from Pad0 on, and its operators.
  Pad0 = 0x60,
  PadMultiply = 0x6A,
  PadAdd = 0x6B,
  PadSubtract = 0x6D,
  PadDecimal = 0x6E,
  PadDivide = 0x6F,
  // F1 to F24.
  F1 = 0x70,
  NumLock = 0x90,
  ScrollLock = 0x91,
  // The punctuation keys, by what they make on a US keyboard.
  Semicolon = 0xBA,
  Equals = 0xBB,
  Comma = 0xBC,
  Minus = 0xBD,
  Period = 0xBE,
  Slash = 0xBF,
  Grave = 0xC0,
  LeftBracket = 0xDB,
  Backslash = 0xDC,
  RightBracket = 0xDD,
  Apostrophe = 0xDE,
};

// A key's code as the key events carry it.
constexpr int16_t Code(Key key) {
  return static_cast<int16_t>(key);
}

// Whether a key event's code is the named key.
constexpr bool operator==(int16_t key_code, Key key) {
  return key_code == Code(key);
}

}  // namespace forms
