// libFuzzer target for the Val rule (the tone time box, the settings file's volume) over any
// UTF-16 text, the input's bytes taken in pairs:
// - it fails only with the overflow error, and otherwise gives a finite number;
// - blanks, tabs and line feeds do not count wherever they stand: the text without them reads
//   the same;
// - a text of 8-bit characters reads the same as bytes, as the settings file gives it.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "runtime/error.h"
#include "runtime/val.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using fuzz::Check;

// The number, or nullopt for the overflow error; any other error escapes and ends the run.
template <typename Text>
std::optional<double> Read(const Text& text) {
  try {
    return runtime::Val(text);
  } catch (const runtime::Error& e) {
    Check(e.number() == runtime::kOverflow, "the only error is overflow");
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);

  const std::optional<double> value = Read(text);
  Check(!value || std::isfinite(*value), "a finite number");

  std::u16string squeezed;
  for (char16_t c : text) {
    if (c != u' ' && c != u'\t' && c != u'\n') squeezed += c;
  }
  Check(Read(squeezed) == value, "blanks, tabs and line feeds do not count");

  std::string bytes;
  for (char16_t c : text) {
    if (c > 0xFF) return 0;
    bytes += static_cast<char>(c);
  }
  Check(Read(bytes) == value, "8-bit text reads the same as bytes");
  return 0;
}
