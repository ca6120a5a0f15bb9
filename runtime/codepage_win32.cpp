// The process's ANSI code page, through the system's own conversions.
#include "runtime/codepage.h"
#include "runtime/win32.h"

namespace runtime {

std::string ToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int n = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, n, nullptr, 0, "?", nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, n, out.data(), bytes, "?", nullptr);
  return out;
}

std::u16string FromAnsi(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int n = static_cast<int>(bytes.size());
  const int chars = MultiByteToWideChar(CP_ACP, 0, bytes.data(), n, nullptr, 0);
  std::u16string out(static_cast<size_t>(chars), u'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), n, reinterpret_cast<wchar_t*>(out.data()), chars);
  return out;
}

unsigned char AnsiCode(char16_t c) {
  const std::string one = ToAnsi(std::u16string_view(&c, 1));
  return one.empty() ? '?' : static_cast<unsigned char>(one[0]);
}

}  // namespace runtime
