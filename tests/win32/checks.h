// A few lines of checking for the test programs that run under Wine (no test framework is
// cross-built): every check prints one line, and Finish gives the exit code.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

namespace win32_test {

class Checks {
 public:
  bool Expect(bool condition, const std::string& what) {
    std::printf("%s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    ++(condition ? passed_ : failed_);
    return condition;
  }

  template <typename A, typename B>
  bool ExpectEq(const A& actual, const B& expected, const std::string& what) {
    if (actual == expected) return Expect(true, what);
    std::ostringstream detail;
    detail << what << " (got " << Show(actual) << ", expected " << Show(expected) << ")";
    return Expect(false, detail.str());
  }

  int Finish() const {
    std::printf("%d passed, %d failed\n", passed_, failed_);
    return failed_ == 0 ? 0 : 1;
  }

 private:
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
      return '"' + std::string(value) + '"';
    } else {
      std::ostringstream out;
      out << value;
      return out.str();
    }
  }

  int passed_ = 0;
  int failed_ = 0;
};

}  // namespace win32_test
