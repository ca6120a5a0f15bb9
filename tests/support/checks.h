// The checks of the test programs that run under Wine, where no test framework is cross-built:
// every check prints one line ("ok" or "FAIL" and what it checked), and Finish prints the totals
// and gives the exit code.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

namespace support {

// Bytes as text: printable ASCII as it is, CR and LF as \r and \n, anything else as \xNN.
inline std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

class Checks {
 public:
  bool Expect(bool condition, const std::string& what) {
    std::printf("%s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    ++(condition ? m_passed : m_failed);
    return condition;
  }

  template <typename A, typename B>
  bool ExpectEq(const A& actual, const B& expected, const std::string& what) {
    if (Equal(actual, expected)) return Expect(true, what);
    return Expect(false, what + " (got " + Show(actual) + ", expected " + Show(expected) + ")");
  }

  int Finish() const {
    std::printf("%d passed, %d failed\n", m_passed, m_failed);
    return m_failed == 0 ? 0 : 1;
  }

 private:
  template <typename T>
  static constexpr bool kNumber = std::is_integral_v<T> && !std::is_same_v<T, bool>;

  // Integers compare by value whatever their signedness (a DWORD against a literal 1).
  template <typename A, typename B>
  static bool Equal(const A& actual, const B& expected) {
    if constexpr (kNumber<A> && kNumber<B>) {
      return std::cmp_equal(actual, expected);
    } else {
      return actual == expected;
    }
  }

  template <typename T>
  static std::string Show(const T& value) {
    if constexpr (std::is_same_v<T, std::u16string>) {
      std::string text;
      for (char16_t c : value) {
        if (c >= 0x20 && c < 0x7F) {
          text += static_cast<char>(c);
        } else {
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
          text += escaped;
        }
      }
      return '"' + text + '"';
    } else if constexpr (std::is_convertible_v<T, std::string>) {
      return '"' + Printable(std::string(value)) + '"';
    } else {
      std::ostringstream out;
      out << std::boolalpha << value;
      return out.str();
    }
  }

  int m_passed = 0;
  int m_failed = 0;
};

}  // namespace support
