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
std::string ErrorText(HRESULT code, std::string_view words = {});

// The system's own words for a message number (a Win32 error code) in the given language (0: the
// user's), as its message table holds them, line end included; empty when it has none. Inserts
// are left as they stand.
std::u16string SystemWords(DWORD message_id, DWORD language = 0);

// The same without the line end and the closing full stop.
std::u16string SystemWordsTrimmed(DWORD message_id);

}  // namespace runtime
