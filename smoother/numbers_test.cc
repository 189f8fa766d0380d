#include "smoother/numbers.h"

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

static std::string formatted(double v) {
  char text[maxformatted];
  return std::string(text, formatvalue(v, text));
}

TEST(ReadInt, SkipsBlanksTakesOneSignStopsAtNonDigit) {
  EXPECT_EQ(readint(" \t\v\f\r\n42"), 42);
  EXPECT_EQ(readint("-17"), -17);
  EXPECT_EQ(readint("+8x"), 8);
  EXPECT_EQ(readint("12.7"), 12);
  EXPECT_EQ(readint("--5"), 0);
  EXPECT_EQ(readint("0x1F"), 0);
  EXPECT_EQ(readint(""), 0);
  EXPECT_EQ(readint("NA"), 0);
  EXPECT_EQ(readint("\xa0" "5"), 0);  // no byte from 0x80 up is white space
}

TEST(ReadInt, WrapsAtThirtyTwoBits) {
  EXPECT_EQ(readint("2147483647"), 2147483647);
  EXPECT_EQ(readint("2147483648"), -2147483647 - 1);
  EXPECT_EQ(readint("4294967296"), 0);
  EXPECT_EQ(readint("4294967301"), 5);
  EXPECT_EQ(readint("-4294967295"), 1);
  EXPECT_EQ(readint("99999999999999999999"), 1661992959);
}

TEST(ReadInt, NeverReadsPastItsField) {
  std::string line = "12\t34";
  EXPECT_EQ(readint(std::string_view(line).substr(0, 1)), 1);
  EXPECT_EQ(readint(std::string_view(line).substr(2, 0)), 0);
}

TEST(ReadNumber, Grammar) {
  EXPECT_EQ(readnumber("1e3"), 1000.0);
  EXPECT_EQ(readnumber("1d3"), 1000.0);
  EXPECT_EQ(readnumber("2.5D-1"), 0.25);
  EXPECT_EQ(readnumber("1e"), 1.0);
  EXPECT_EQ(readnumber("1e+"), 1.0);
  EXPECT_EQ(readnumber("1.5+2"), 1.5);
  EXPECT_EQ(readnumber(".5"), 0.5);
  EXPECT_EQ(readnumber("5."), 5.0);
  EXPECT_EQ(readnumber("  -0.25abc"), -0.25);
  EXPECT_EQ(readnumber("+.5e1"), 5.0);
  EXPECT_EQ(readnumber("1.2.3"), 1.2);
}

TEST(ReadNumber, TextWithoutDigitsIsZero) {
  for (const char* text : {"", "NA", "-", "+", ".", "-.", "e5", "inf",
                           "-infinity", "nan", "abc"})
    EXPECT_EQ(readnumber(text), 0.0) << text;
  EXPECT_EQ(readnumber("0x1p3"), 0.0);  // hexadecimal is not a number
}

TEST(ReadNumber, OutOfRangeGivesInfinityOrZero) {
  EXPECT_EQ(readnumber("1e309"), HUGE_VAL);
  EXPECT_EQ(readnumber("-1e309"), -HUGE_VAL);
  EXPECT_EQ(readnumber("1e99999999999999999999"), HUGE_VAL);
  EXPECT_EQ(readnumber("1e-400"), 0.0);
  EXPECT_EQ(readnumber("0.00001e-320"), 0.0);
  EXPECT_EQ(readnumber("0e99999"), 0.0);
  EXPECT_EQ(readnumber("4.9406564584124654e-324"), 4.9406564584124654e-324);
  EXPECT_EQ(readnumber("1.7976931348623157e308"), 1.7976931348623157e308);
  std::string zeros = "0." + std::string(400, '0') + "1e402";
  EXPECT_EQ(readnumber(zeros), 10.0);
}

TEST(ReadNumber, NeverReadsPastItsField) {
  std::string line = "1\t5e3";
  EXPECT_EQ(readnumber(std::string_view(line).substr(0, 1)), 1.0);
  std::string cut = "1e5";
  EXPECT_EQ(readnumber(std::string_view(cut).substr(0, 2)), 1.0);
}

// Every decimal must come out as the correctly rounded double, short ones
// (the common case) and long ones alike; strtod is the reference.
TEST(ReadNumber, CorrectlyRoundedAgainstReference) {
  std::mt19937_64 gen(7);
  char text[64];
  for (int i = 0; i < 200000; ++i) {
    int digits = static_cast<int>(gen() % 22);
    int exp = static_cast<int>(gen() % 60) - 30;
    std::snprintf(text, sizeof text, "%s%llu.%0*llue%d", i % 2 ? "-" : "",
                  static_cast<unsigned long long>(gen() % 100000),
                  digits % 19 + 1,
                  static_cast<unsigned long long>(gen() % 1000000000000000000u),
                  exp % (digits + 1));
    ASSERT_EQ(readnumber(text), std::strtod(text, nullptr)) << text;
  }
}

TEST(FormatValue, TiesAtTheFifthDecimalGoAwayFromZero) {
  EXPECT_EQ(formatted(0.015625), "0.01563");
  EXPECT_EQ(formatted(-0.015625), "-0.01563");
  EXPECT_EQ(formatted(0.123455), "0.12346");
  EXPECT_EQ(formatted(0.000005), "0.00001");
  EXPECT_EQ(formatted(2.5e-6), "0.00000");
  EXPECT_EQ(formatted(0.1234549), "0.12345");
}

TEST(FormatValue, SignsAndZero) {
  EXPECT_EQ(formatted(0.0), "0.00000");
  EXPECT_EQ(formatted(-0.0), "0.00000");
  EXPECT_EQ(formatted(-0.000004), "-0.00000");
  EXPECT_EQ(formatted(-4.9406564584124654e-324), "-0.00000");
  EXPECT_EQ(formatted(-0.3), "-0.30000");
  EXPECT_EQ(formatted(0.12), "0.12000");
}

TEST(FormatValue, CarryAndLargeValues) {
  EXPECT_EQ(formatted(1234.5), "1234.50000");
  EXPECT_EQ(formatted(9.9999999), "10.00000");
  EXPECT_EQ(formatted(-99999.999999), "-100000.00000");
  EXPECT_EQ(formatted(1e20), "100000000000000000000.00000");
  EXPECT_EQ(formatted(123456789012345678.0), "123456789012345680.00000");
  EXPECT_EQ(formatted(1.7976931348623157e308),
            "17976931348623157" + std::string(292, '0') + ".00000");
}

TEST(FormatValue, NotANumberAndInfinities) {
  EXPECT_EQ(formatted(std::nan("")), "nan");
  EXPECT_EQ(formatted(-std::nan("")), "nan");
  EXPECT_EQ(formatted(HUGE_VAL), "inf");
  EXPECT_EQ(formatted(-HUGE_VAL), "-inf");
}

// Away from ties the rule agrees with printf: values of four decimals have
// no digit at the sixth place to decide on.
TEST(FormatValue, AgreesWithPrintfAwayFromTies) {
  std::mt19937_64 gen(11);
  char expected[400];
  for (int i = 0; i < 100000; ++i) {
    double v = static_cast<double>(static_cast<long long>(gen() % 2000000000) -
                                   1000000000) /
               1e4;
    std::snprintf(expected, sizeof expected, "%.5f", v);
    if (v == 0)
      std::snprintf(expected, sizeof expected, "0.00000");
    ASSERT_EQ(formatted(v), expected) << v;
  }
}

// The rule worked independently: glibc's exact 17-digit form, rounded as a
// digit string.
static std::string reference(double v) {
  if (v == 0)
    return "0.00000";
  char sci[64];
  std::snprintf(sci, sizeof sci, "%.16e", std::fabs(v));
  std::string digits = std::string(1, sci[0]) + std::string(sci + 2, 16);
  int exp10 = std::atoi(sci + 19);
  // Digits of |v| in units of 1e-6, as a string; rounding drops the last.
  std::string fixed;
  for (int p = std::max(exp10, 0); p >= -6; --p) {
    int j = exp10 - p;
    fixed += (j >= 0 && j < 17) ? digits[j] : '0';
  }
  bool up = fixed.back() >= '5';
  fixed.pop_back();
  for (int i = static_cast<int>(fixed.size()) - 1; up && i >= 0; --i) {
    up = fixed[i] == '9';
    fixed[i] = up ? '0' : static_cast<char>(fixed[i] + 1);
  }
  if (up)
    fixed = "1" + fixed;
  std::size_t lead = fixed.find_first_not_of('0');
  if (lead == std::string::npos || lead > fixed.size() - 6)
    lead = fixed.size() - 6;
  fixed = fixed.substr(lead, fixed.size() - 5 - lead) + "." +
          fixed.substr(fixed.size() - 5);
  return (v < 0 ? "-" : "") + fixed;
}

// Values at and around ties of every size, where a shortcut on the scaled
// double could decide differently from the decimal digits.
TEST(FormatValue, MatchesDigitRoundingNearTies) {
  std::mt19937_64 gen(5);
  for (int i = 0; i < 300000; ++i) {
    double scale = std::pow(10.0, static_cast<int>(gen() % 16) - 5);
    double tie = (static_cast<double>(gen() % 100000000) + 0.5) / 1e5 * scale;
    double v = tie;
    int steps = static_cast<int>(gen() % 7) - 3;
    for (; steps > 0; --steps)
      v = std::nextafter(v, HUGE_VAL);
    for (; steps < 0; ++steps)
      v = std::nextafter(v, 0.0);
    if (gen() % 2)
      v = -v;
    ASSERT_EQ(formatted(v), reference(v)) << std::hexfloat << v;
  }
}
