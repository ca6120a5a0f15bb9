#include "runtime/val.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "runtime/error.h"

namespace runtime {
namespace {

template <typename Char>
class Reader {
 public:
  explicit Reader(std::basic_string_view<Char> text) : text_(text) {}

  // The next significant character, or 0 at the end; skipped characters are consumed.
  char32_t Peek() {
    while (pos_ < text_.size() && IsSkipped(text_[pos_])) ++pos_;
    return pos_ < text_.size() ? static_cast<char32_t>(text_[pos_]) : 0;
  }
  void Take() { ++pos_; }

 private:
  static bool IsSkipped(Char c) { return c == ' ' || c == '\t' || c == '\n'; }

  std::basic_string_view<Char> text_;
  size_t pos_ = 0;
};

bool IsDigit(char32_t c) {
  return c >= '0' && c <= '9';
}

int HexDigit(char32_t c) {
  if (IsDigit(c)) return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

template <typename Char>
double ReadRadix(Reader<Char>& in, int radix) {
  double value = 0;
  for (int d = HexDigit(in.Peek()); d >= 0 && d < radix; d = HexDigit(in.Peek())) {
    value = value * radix + d;
    in.Take();
  }
  // Enough digits pass the largest double, as a decimal literal can.
  if (std::isinf(value)) RaiseOverflow();
  return value;
}

// Power of ten of the literal's leading significant digit, plus one (0.5 gives 0, 5 gives 1).
long DecimalOrder(const std::string& literal) {
  const size_t e_at = literal.find('e');
  const std::string mantissa = literal.substr(0, e_at);
  long exponent = 0;
  if (e_at != std::string::npos) {
    const char* first = literal.data() + e_at + 1;
    if (*first == '+') ++first;
    if (std::from_chars(first, literal.data() + literal.size(), exponent).ec != std::errc()) {
      exponent = (*first == '-') ? -1000000 : 1000000;
    }
    // Far beyond any double either way; kept small so that adding the position cannot overflow.
    exponent = std::clamp(exponent, -1000000L, 1000000L);
  }
  const size_t point = mantissa.find('.');
  const size_t int_end = point == std::string::npos ? mantissa.size() : point;
  const size_t lead = mantissa.find_first_of("123456789");
  if (lead == std::string::npos) return -1000000;
  const long position =
      lead < int_end ? static_cast<long>(int_end - lead) : -static_cast<long>(lead - int_end - 1);
  return position + exponent;
}

template <typename Char>
double ValOf(std::basic_string_view<Char> text) {
  Reader<Char> in(text);
  if (in.Peek() == '&') {
    in.Take();
    const char32_t kind = in.Peek();
    if (kind == 'H' || kind == 'h') {
      in.Take();
      return ReadRadix(in, 16);
    }
    if (kind == 'O' || kind == 'o') {
      in.Take();
      return ReadRadix(in, 8);
    }
    return 0;
  }

  // Collect the accepted characters into a plain decimal literal and let from_chars round it
  // correctly; the period is the decimal point whatever the locale.
  std::string literal;
  if (in.Peek() == '-' || in.Peek() == '+') {
    if (in.Peek() == '-') literal += '-';
    in.Take();
  }
  bool mantissa_digit = false;
  bool period = false;
  for (char32_t c = in.Peek();; c = in.Peek()) {
    if (IsDigit(c)) {
      literal += static_cast<char>(c);
      mantissa_digit = true;
    } else if (c == '.' && !period) {
      literal += '.';
      period = true;
    } else {
      break;
    }
    in.Take();
  }
  if (!mantissa_digit) return 0;

  const char32_t e = in.Peek();
  if (e == 'E' || e == 'e' || e == 'D' || e == 'd') {
    in.Take();
    std::string exponent = "e";
    if (in.Peek() == '-' || in.Peek() == '+') {
      exponent += static_cast<char>(in.Peek());
      in.Take();
    }
    bool exponent_digit = false;
    while (IsDigit(in.Peek())) {
      exponent += static_cast<char>(in.Peek());
      exponent_digit = true;
      in.Take();
    }
    if (exponent_digit) literal += exponent;
  }

  double value = 0;
  const auto result = std::from_chars(literal.data(), literal.data() + literal.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // Beyond double range: too large is the overflow error, too small is zero.
    if (DecimalOrder(literal) > 0) RaiseOverflow();
    return 0;
  }
  return value;
}

}  // namespace

double Val(std::u16string_view text) {
  return ValOf(text);
}
double Val(std::string_view text) {
  return ValOf(text);
}

}  // namespace runtime
