// Text to number, the way the dialer reads tone times and stored volumes: blanks, tabs and line
// feeds are skipped anywhere, an optional sign, digits with at most one period, an optional
// exponent (E or D), or an &H / &O integer; reading stops at the first character that does not
// fit, and text with no digit before that gives 0. A value beyond double range raises overflow.
#pragma once

#include <string_view>

namespace runtime {

double Val(std::u16string_view text);
double Val(std::string_view text);

}  // namespace runtime
