// Number reading and printing over many values, against references of
// their own: the grammar as a regular expression, its span converted by
// strtod; printf's 17 significant digits rounded by hand.
#include "smoother/numbers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <regex.h>

#include <gtest/gtest.h>

TEST(ReadNumbers, AgreeWithTheGrammarAndTheLibrary) {
  regex_t number;
  ASSERT_EQ(regcomp(&number, "^[ \t\n\v\f\r]*([+-]?([0-9]+\\.?[0-9]*|"
                    "\\.[0-9]+)([eEdD][+-]?[0-9]+)?)", REG_EXTENDED), 0);
  const char pick[] = "01234567890123456789012345678901234 \t\r\n+-.eEdDx";
  std::mt19937_64 gen(1);
  for (int i = 0; i < 200000; ++i) {
    std::string text(gen() % 40, ' ');
    for (char& c : text)
      c = pick[gen() % (sizeof pick - 1)];
    regmatch_t m[2];
    bool found = regexec(&number, text.c_str(), 2, m, 0) == 0, whole;
    std::string span = found ? text.substr(m[1].rm_so, m[1].rm_eo - m[1].rm_so)
                             : "0";
    for (char& c : span)
      c = (c == 'd' || c == 'D') ? 'e' : c;
    ASSERT_EQ(readnumber(text, &whole), std::strtod(span.data(), nullptr));
    ASSERT_EQ(whole, found && m[0].rm_eo == std::ssize(text)) << text;
  }
  regfree(&number);
}

// The printing rule worked on printf's 17 significant digits of |v| < 1e11:
// keep the digits down to the fifth decimal, add one when the next is 5 or
// more.
static std::string reference(double v) {
  char sci[32];
  std::snprintf(sci, sizeof sci, "%.16e", std::fabs(v));
  std::string digits = sci[0] + std::string(sci + 2, 16);
  int keep = std::atoi(sci + 19) + 6;
  unsigned long long units = 0;
  for (int i = 0; i < keep; ++i)
    units = units * 10 + static_cast<unsigned>(digits[i] - '0');
  if (keep >= 0 && digits[keep] >= '5')
    ++units;
  std::snprintf(sci, sizeof sci, "%s%llu.%05llu", v < 0 ? "-" : "",
                units / 100000, units % 100000);
  return sci;
}

TEST(FormatValue, RoundsTiesAwayFromZeroOnSeventeenDigits) {
  std::mt19937_64 gen(2);
  char out[maxformatted];
  for (int i = 0; i < 300000; ++i) {
    // Ties of the sixth decimal and a few steps from them, and any values.
    double tie = (static_cast<double>(gen() % 100000000000000 >>
                                      gen() % 47) + 0.5) / 1e5;
    double v = i % 2 ? std::ldexp(static_cast<double>(gen() >> 11),
                                  static_cast<int>(gen() % 80) - 110)
                     : tie;
    for (int s = static_cast<int>(gen() % 7) - 3; s != 0; s -= s > 0 ? 1 : -1)
      v = std::nextafter(v, s > 0 ? HUGE_VAL : 0.0);
    v = gen() % 2 ? -v : v;
    ASSERT_EQ(std::string(out, formatvalue(v, out)), reference(v))
        << std::hexfloat << v;
  }
}
