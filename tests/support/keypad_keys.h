// Keys typed on the dialer and the keypad key each presses (its index in dialer::kKeyChars, -1 for
// none), run on the headless engine and on every binding.
#pragma once

#include <cstdint>

namespace support {

struct TypedKey {
  char16_t typed;  // what the keyboard layout makes of the key
  bool keypad;     // typed on the numeric pad
  int16_t index;
};

inline constexpr TypedKey kTypedKeys[] = {
    {u'1', false, 0},  {u'2', false, 1},  {u'3', false, 2},  {u'A', false, 3},  {u'4', false, 4},
    {u'5', false, 5},  {u'6', false, 6},  {u'B', false, 7},  {u'7', false, 8},  {u'8', false, 9},
    {u'9', false, 10}, {u'C', false, 11}, {u'*', false, 12}, {u'0', false, 13}, {u'#', false, 14},
    {u'D', false, 15}, {u'a', false, 3},  {u'b', false, 7},  {u'c', false, 11}, {u'd', false, 15},
    {u'0', true, 13},  {u'1', true, 0},   {u'5', true, 5},   {u'9', true, 10},  {u'*', true, 12},
    {u'x', false, -1}, {u'E', false, -1}, {u'+', true, -1},
};

}  // namespace support
