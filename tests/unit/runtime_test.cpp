#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/error.h"
#include "runtime/rounding.h"
#include "runtime/val.h"

namespace {

using runtime::Val;

TEST(Val, SkipsBlanksTabsAndLineFeedsAnywhere) {
  EXPECT_EQ(Val(" 2501 "), 2501);
  EXPECT_EQ(Val("  1 2\t3\n4"), 1234);
  EXPECT_EQ(Val("- 5"), -5);
  EXPECT_EQ(Val(u"\t4\n0"), 40);
  // A carriage return is not skipped: it ends the number.
  EXPECT_EQ(Val("4\r0"), 4);
}

TEST(Val, SignPeriodAndExponent) {
  EXPECT_EQ(Val("+7"), 7);
  EXPECT_EQ(Val("40.5"), 40.5);
  EXPECT_EQ(Val(".5"), 0.5);
  EXPECT_EQ(Val("1.5.3"), 1.5);
  EXPECT_EQ(Val("1,5"), 1);  // a comma is never a decimal point
  EXPECT_EQ(Val("1E3"), 1000);
  EXPECT_EQ(Val("25d-1"), 2.5);
  EXPECT_EQ(Val("1e+2x"), 100);
  EXPECT_EQ(Val("12E"), 12);  // an exponent without digits is ignored
  EXPECT_EQ(Val("1e-999"), 0);
  EXPECT_EQ(Val("0.1"), 0.1);  // correctly rounded like a literal
}

TEST(Val, HexAndOctalPrefixes) {
  EXPECT_EQ(Val("&H1F"), 31);
  EXPECT_EQ(Val("&hff zz"), 255);
  EXPECT_EQ(Val("&O17"), 15);
  EXPECT_EQ(Val("&o78"), 7);
  EXPECT_EQ(Val("&H"), 0);
  EXPECT_EQ(Val("&X1"), 0);
}

TEST(Val, NoDigitGivesZero) {
  EXPECT_EQ(Val(""), 0);
  EXPECT_EQ(Val("abc"), 0);
  EXPECT_EQ(Val("."), 0);
  EXPECT_EQ(Val("-"), 0);
  EXPECT_EQ(Val("E5"), 0);
  EXPECT_EQ(Val("40abc"), 40);
}

TEST(Val, BeyondDoubleRangeIsOverflow) {
  try {
    Val("1e999");
    FAIL() << "no error";
  } catch (const runtime::Error& e) {
    EXPECT_EQ(e.number(), runtime::kOverflow);
  }
  EXPECT_THROW(Val(std::string(400, '9')), runtime::Error);
  // Hexadecimal and octal too: 256 hex digits and 342 octal ones go beyond a double.
  EXPECT_THROW(Val("&H" + std::string(256, 'F')), runtime::Error);
  EXPECT_THROW(Val("&O" + std::string(342, '7')), runtime::Error);
  EXPECT_EQ(Val("&H" + std::string(255, 'F')), 0x1p1020);
  // Exponents at the ends of a 64-bit integer.
  EXPECT_THROW(Val("1e9223372036854775807"), runtime::Error);
  EXPECT_EQ(Val("0.001e-9223372036854775808"), 0);
}

TEST(Rounding, TiesGoToEven) {
  EXPECT_EQ(runtime::CLng(219.5), 220);
  EXPECT_EQ(runtime::CLng(2.5), 2);
  EXPECT_EQ(runtime::CLng(-0.5), 0);
  EXPECT_EQ(runtime::CLng(-1.5), -2);
  EXPECT_EQ(runtime::CInt(881.5), 882);
  EXPECT_EQ(runtime::CInt(0.49999999999999994), 0);
}

TEST(Rounding, OutOfRangeRaisesOverflow) {
  EXPECT_EQ(runtime::CInt(32767.4), 32767);
  EXPECT_EQ(runtime::CInt(-32768.5), -32768);
  EXPECT_THROW(runtime::CInt(32767.5), runtime::Error);
  EXPECT_THROW(runtime::CInt(-32769), runtime::Error);
  EXPECT_EQ(runtime::CLng(2147483646.5), 2147483646);
  EXPECT_THROW(runtime::CLng(2147483647.5), runtime::Error);
  EXPECT_THROW(runtime::CLng(std::numeric_limits<double>::quiet_NaN()), runtime::Error);
  EXPECT_THROW(runtime::CLng(INFINITY), runtime::Error);
}

}  // namespace
