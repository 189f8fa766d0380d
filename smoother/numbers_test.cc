// Number reading and printing over many values, against references of
// their own: the grammar as a regular expression, its span converted by
// strtod; printf's 17 significant digits rounded by hand.
#include "smoother/numbers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <regex.h>

#include <gtest/gtest.h>

// Calls run(at, n) for the items [at, at + n) of [0, size), in batches
// of every length from 1 to 37 in turn.
template <typename Run>
static void inbatches(std::size_t size, Run run) {
  for (std::size_t at = 0, n = 1; at < size; at += n, n = n % 37 + 1) {
    n = std::min(n, size - at);
    run(at, n);
  }
}

TEST(ReadNumbers, AgreeWithTheGrammarAndTheLibrary) {
  regex_t number;
  ASSERT_EQ(regcomp(&number, "^[ \t\n\v\f\r]*([+-]?([0-9]+\\.?[0-9]*|"
                    "\\.[0-9]+)([eEdD][+-]?[0-9]+)?)", REG_EXTENDED), 0);
  const char pick[] = "01234567890123456789012345678901234 \t\r\n+-.eEdDx";
  std::mt19937_64 gen(1);
  for (int i = 0; i < 300000; ++i) {
    // Now and then many digits, which the fast path leaves to from_chars.
    std::string text(gen() % (i % 4 ? 40 : 400), ' ');
    for (char& c : text)
      c = pick[gen() % (sizeof pick - 1)];
    regmatch_t m[2];
    bool found = regexec(&number, text.c_str(), 2, m, 0) == 0, whole;
    std::string span = found ? text.substr(m[1].rm_so, m[1].rm_eo - m[1].rm_so)
                             : "0";
    for (char& c : span)
      c = (c == 'd' || c == 'D') ? 'e' : c;
    const double value = readnumber(text, &whole);
    ASSERT_EQ(value, std::strtod(span.data(), nullptr));
    ASSERT_EQ(whole, found && m[0].rm_eo == std::ssize(text)) << text;
    // The fast paths give the plain reading's bits.
    bool plainwhole;
    const double plain = readnumberplain(text, &plainwhole);
    ASSERT_EQ(std::memcmp(&value, &plain, sizeof value), 0) << text;
    ASSERT_EQ(whole, plainwhole) << text;
  }
  regfree(&number);
}

// Short plain numbers, read a word at a time, give the grammar's bits,
// and the word reading takes every one of them: fields of up to ten bytes
// from digits, points and minus signs, now and then another byte, each
// followed by a tab and bytes of anything, as in a line. Read in batches
// of every length, on the widest unit and without the vector units, they
// are read as one by one.
TEST(ReadNumbers, ShortPlainNumbersAWordAtATime) {
  const char pick[] = "0123456789012345678901234567890123456789..--\tx\xb0 e";
  std::mt19937_64 gen(3);
  std::vector<std::uint64_t> words;
  std::vector<std::uint32_t> sizes, negative, readone;
  std::vector<double> values;
  for (int i = 0; i < 300000; ++i) {
    std::string field(1 + gen() % 10, ' ');
    for (char& c : field)
      c = pick[gen() % (i % 8 ? 40 : sizeof pick - 1)];
    std::string line = field + '\t';
    while (line.size() < field.size() + 12)
      line += pick[gen() % (sizeof pick - 1)];
    double value = 0;
    const bool taken = readshortnumber({line.data(), field.size()}, &value);
    const std::size_t minus = field[0] == '-';
    const auto digits = std::count_if(field.begin(), field.end(), [](char c) {
      return c >= '0' && c <= '9';
    });
    const auto points = std::count(field.begin(), field.end(), '.');
    const bool plain = digits > 0 && points < 2 &&
                       static_cast<std::size_t>(digits + points) + minus ==
                           field.size() &&
                       field.size() - minus <= 8;
    ASSERT_EQ(taken, plain) << field;
    const double want = readnumberplain(field);
    ASSERT_TRUE(!taken || std::memcmp(&value, &want, sizeof value) == 0)
        << field;
    negative.push_back(minus);
    words.push_back(loadbytes(line.data() + minus));
    sizes.push_back(static_cast<std::uint32_t>(field.size() - minus));
    readone.push_back(taken);
    values.push_back(value);
  }
  std::vector<double> got(words.size());
  std::vector<std::uint32_t> read(words.size());
  for (int way = 0; way < 2; ++way) {
    const auto batch = way ? shortnumbersportable : shortnumbers;
    inbatches(words.size(), [&](std::size_t at, std::size_t n) {
      batch(&words[at], &sizes[at], &negative[at], n, &got[at], &read[at]);
    });
    for (std::size_t i = 0; i < words.size(); ++i) {
      ASSERT_EQ(read[i], readone[i]) << i;
      ASSERT_TRUE(!read[i] ||
                  std::memcmp(&got[i], &values[i], sizeof got[i]) == 0)
          << i;
    }
  }
}

// A field printed straight from its text prints the bytes that reading
// and printing its value give, and every field of the form it takes is
// taken: fields of digits, points and minus signs, of every length around
// its limits, and their zeros of either sign (a zero prints no minus).
// Taken in batches of every length, on the widest unit and without the
// vector units, they are taken as one by one.
TEST(FormatValue, CopiedFieldsAsTheirValues) {
  const char pick[] = "0123456789000.-";
  std::mt19937_64 gen(5);
  char text[maxformatted];
  char value[maxformatted];
  std::vector<std::uint64_t> words;
  std::vector<std::uint32_t> sizes, negative;
  std::vector<copiedfield> taken;
  for (int i = 0; i < 300000; ++i) {
    std::string field(1 + gen() % 9, ' ');
    for (char& c : field)
      c = pick[gen() % (i % 2 ? 10 : sizeof pick - 1)];
    if (i % 2)  // mostly a point in the place it may take
      field[std::min<std::size_t>(field.size() - 1, 1 + gen() % 3)] = '.';
    const std::string line = field + "\t\x1a\xff.-0000";
    char* end = printcopied({line.data(), field.size()}, text);
    copiedfield c{};
    if (!takecopied({line.data(), field.size()}, &c))
      c.paddedsize = 0;
    taken.push_back(c);
    negative.push_back(line[0] == '-');
    words.push_back(loadbytes(line.data() + negative.back()));
    sizes.push_back(static_cast<std::uint32_t>(field.size()) - negative.back());
    const std::size_t minus = field[0] == '-';
    const std::string rest = field.substr(minus);
    const std::size_t point = rest.find('.');
    const bool digits = rest.find_first_not_of("0123456789", 0) == point &&
                        rest.find_first_not_of("0123456789", point + 1) ==
                            std::string::npos;
    const bool form = point != std::string::npos &&
                      (point == 1 || point == 2) &&
                      digits && rest.size() - point - 1 >= 1 &&
                      rest.size() - point - 1 <= 5 &&
                      !(point == 2 && rest[0] == '0');
    ASSERT_EQ(end != nullptr, form) << field;
    if (end) {
      char* want = formatvalue(readnumber(field), value);
      ASSERT_EQ(std::string(text, end - text), std::string(value, want))
          << field;
    }
  }
  std::vector<std::uint64_t> padded(words.size());
  std::vector<std::uint32_t> forms(words.size());
  for (int way = 0; way < 2; ++way) {
    const auto batch = way ? copiedformsportable : copiedforms;
    inbatches(words.size(), [&](std::size_t at, std::size_t n) {
      batch(&words[at], &sizes[at], &negative[at], n, &padded[at],
            &forms[at]);
    });
    for (std::size_t i = 0; i < words.size(); ++i) {
      ASSERT_EQ(forms[i] & 15, taken[i].paddedsize) << i;
      if (forms[i] == 0)
        continue;
      ASSERT_EQ(padded[i], taken[i].padded) << i;
      ASSERT_EQ(forms[i] >> 4, taken[i].paddednegative) << i;
    }
  }
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

// The values found in batches print formatvalue's bytes, on the widest
// unit and without the vector units, in batches of every length: every
// count of hundred-thousandths below 10 of either sign, ties and values a
// step from them, both zeros, negative values that round to zero, values
// that round up to 10, and values of every size, which the batch leaves.
TEST(FormatValue, InBatchesAsOneByOne) {
  std::vector<double> values;
  for (int n = 0; n <= 1000000; ++n)
    values.push_back((n % 2 ? -1 : 1) * (n + 0.25) / 1e5);
  std::mt19937_64 gen(5);
  for (int i = 0; i < 200000; ++i) {
    double v = i % 2 ? (static_cast<double>(gen() % 1000000) + 0.5) / 1e5
                     : std::ldexp(static_cast<double>(gen() >> 11),
                                  static_cast<int>(gen() % 70) - 80);
    for (int s = static_cast<int>(gen() % 5) - 2; s != 0; s -= s > 0 ? 1 : -1)
      v = std::nextafter(v, s > 0 ? HUGE_VAL : 0.0);
    values.push_back(gen() % 2 ? -v : v);
  }
  for (double v : {0.0, -0.0, -0.000004, -0.000005, 9.999994, 9.999995,
                   -9.999996, 10.0, 1e6, HUGE_VAL, -HUGE_VAL, std::nan(""),
                   5e-324, -5e-324})
    values.push_back(v);
  std::vector<std::uint32_t> low(values.size()), high(values.size());
  char want[maxformatted + 1];
  char got[maxformatted + 1];
  long found = 0;
  for (int way = 0; way < 2; ++way) {
    const auto batch = way ? shortformsportable : shortforms;
    inbatches(values.size(), [&](std::size_t at, std::size_t n) {
      batch(values.data() + at, n, low.data() + at, high.data() + at);
    });
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (low[i] == 0)
        continue;
      ++found;
      char* end = formatvalue(values[i], want);
      *end++ = '\t';
      ASSERT_EQ(std::string(got, putshort(got, low[i], high[i])),
                std::string(want, end))
          << std::hexfloat << values[i];
    }
  }
  // Every count below 10 is found; so are most of the ties' neighbours.
  EXPECT_GT(found, 2 * 1000000);
}

// Printing rounds ties away from zero on the 17 significant digits, as
// the reference rule does, and its fast path, which takes its digits by
// multiplications, prints the bytes of the plain printing from those
// digits: every whole part and every five decimals it can print, values of
// every size, ties and values one step from them, both zeros, a negative
// value that rounds to zero, huge ones, infinities and not-a-number.
TEST(FormatValue, RoundsTiesAwayFromZeroOnSeventeenDigits) {
  char fast[maxformatted];
  char plain[maxformatted];
  auto same = [&](double v) {
    const std::string want(plain, formatvalueplain(v, plain));
    return std::string(fast, formatvalue(v, fast)) == want &&
           !(std::fabs(v) < 1e11 && want != reference(v));
  };
  auto fastasplain = [&](double v) {
    return std::string(fast, formatvalue(v, fast)) ==
           std::string(plain, formatvalueplain(v, plain));
  };
  for (int n = 0; n < 1000000; ++n)
    ASSERT_TRUE(fastasplain(n + 0.3) && fastasplain(-(n + 0.7))) << n;
  for (int d = 0; d < 100000; ++d)
    ASSERT_TRUE(fastasplain((d + 0.3) / 1e5) &&
                fastasplain(7 + (d + 0.7) / 1e5)) << d;
  std::mt19937_64 gen(4);
  for (int i = 0; i < 300000; ++i) {
    double v = std::ldexp(static_cast<double>(gen() >> 11),
                          static_cast<int>(gen() % 120) - 100);
    if (i % 3 == 0)  // a tie of the sixth decimal, or a step from one
      v = (static_cast<double>(gen() % 100000000000) + 0.5) / 1e5;
    for (int s = static_cast<int>(gen() % 5) - 2; s != 0; s -= s > 0 ? 1 : -1)
      v = std::nextafter(v, s > 0 ? HUGE_VAL : 0.0);
    ASSERT_TRUE(same(gen() % 2 ? -v : v)) << std::hexfloat << v;
  }
  for (double v : {0.0, -0.0, -0.000004, 0.000005, -0.000005, 1e300, -1e300,
                   HUGE_VAL, -HUGE_VAL, std::nan(""), 5e-324, 999999.999995,
                   99999.999995, 1e11, 1e6})
    ASSERT_TRUE(same(v)) << v;
}
