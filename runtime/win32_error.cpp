#include <cstdio>
#include <string>

#include "runtime/utf8.h"
#include "runtime/win32.h"

namespace runtime {

std::u16string SystemWords(DWORD message_id, DWORD language, Inserts inserts) {
  wchar_t* text = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
  if (inserts == Inserts::kLeft) flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length = FormatMessageW(flags, nullptr, message_id, language,
                                      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0) return {};
  std::u16string words(reinterpret_cast<const char16_t*>(text), length);
  LocalFree(text);
  return words;
}

std::u16string SystemWordsTrimmed(DWORD message_id) {
  std::u16string words = SystemWords(message_id);
  // The system's texts end in a full stop and a line break.
  while (!words.empty() && (words.back() == u'\r' || words.back() == u'\n' ||
                            words.back() == u' ' || words.back() == u'.')) {
    words.pop_back();
  }
  return words;
}

std::u16string ErrorWords(DWORD code) {
  const std::u16string words = SystemWordsTrimmed(code);
  if (!words.empty()) return words;
  const std::string number = "error " + std::to_string(code);
  return std::u16string(number.begin(), number.end());
}

std::string CodeInWords(HRESULT code, std::string_view words) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(code));
  if (!words.empty()) return number + (": " + std::string(words));
  // A Win32 error wrapped in an HRESULT has its text under the plain error number.
  const DWORD message_id = HRESULT_FACILITY(code) == FACILITY_WIN32
                               ? static_cast<DWORD>(HRESULT_CODE(code))
                               : static_cast<DWORD>(code);
  const std::u16string system = SystemWordsTrimmed(message_id);
  return system.empty() ? number : number + (": " + ToUtf8(system));
}

}  // namespace runtime
