// The one way into the Windows API for the dialer, its sound and their tests: windows.h with the
// macros the project wants, and without the CreateEvent macro, which would otherwise rename the
// sound device's CreateEvent in every file that sees both. Include it before any other Windows
// header (dsound.h, shellapi.h...), which then build on it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef CreateEvent

#include <string>
#include <string_view>

namespace runtime {

// An HRESULT, or a Win32 error code as GetLastError gives it, in words: its number in hex and
// what it means ("0x80070005: Access is denied"). The meaning is `words` when given (for a
// component's own codes, which the system does not know), else the system's text; without
// either, the number alone.
std::string CodeInWords(HRESULT code, std::string_view words = {});

// What SystemWords does with a message's inserts (%1 and the like): leaves them as they stand, or
// expands them. There are no arguments to expand them with, so a message that has inserts then
// has no words.
enum class Inserts { kLeft, kExpanded };

// The system's own words for a message number (a Win32 error code) in the given language (0: the
// user's), as its message table holds them, line end included; empty when it has none. This is
// the one place that asks the system (FormatMessage) for them.
std::u16string SystemWords(DWORD message_id, DWORD language = 0, Inserts inserts = Inserts::kLeft);

// The same without the line end and the closing full stop.
std::u16string SystemWordsTrimmed(DWORD message_id);

// An error code as a message tells it: the system's trimmed words, or "error N" when it has none.
std::u16string ErrorWords(DWORD code);

}  // namespace runtime
