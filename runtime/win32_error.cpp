#include <cstdio>
#include <string>

#include "runtime/utf8.h"
#include "runtime/win32.h"

namespace runtime {

std::string ErrorText(HRESULT code, std::string_view words) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(code));
  if (!words.empty()) return number + (": " + std::string(words));
  // A Win32 error wrapped in an HRESULT has its text under the plain error number.
  const DWORD message_id = HRESULT_FACILITY(code) == FACILITY_WIN32
                               ? static_cast<DWORD>(HRESULT_CODE(code))
                               : static_cast<DWORD>(code);
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, message_id, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string system(reinterpret_cast<const char16_t*>(text), length);
  LocalFree(text);
  // The system's texts end in a full stop and a line break.
  while (!system.empty() && (system.back() == u'\r' || system.back() == u'\n' ||
                             system.back() == u' ' || system.back() == u'.')) {
    system.pop_back();
  }
  return system.empty() ? number : number + (": " + ToUtf8(system));
}

}  // namespace runtime
