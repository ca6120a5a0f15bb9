// The system's 8-bit code page, used by the settings file and by text dialing: the ANSI code page
// on Windows, Windows-1252 elsewhere. A character the code page lacks becomes "?".
#pragma once

#include <string>
#include <string_view>

namespace runtime {

std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view bytes);
// The character's code in the code page, 0 to 255.
unsigned char AnsiCode(char16_t c);

}  // namespace runtime
