// Number reading and printing against references built on the C library:
// readint against a 64-bit accumulation reduced mod 2^32 (and strtoll while
// the digits fit), readnumber against strtod on the span the grammar
// accepts, and formatvalue against printf's "%.5f", which it may leave only
// at a rounding tie of the value's 17-digit decimal form.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/reference.h"
#include "smoother/numbers.h"

static bool isdigit10(char c) { return c >= '0' && c <= '9'; }

static bool isexpletter(char c) {
  return c == 'e' || c == 'E' || c == 'd' || c == 'D';
}

static void checkint(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isspace6(static_cast<unsigned char>(text[i])))
    ++i;
  std::size_t signat = i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  std::size_t digits = i;
  std::uint64_t wide = 0;  // mod 2^64, which 2^32 divides
  for (; i < text.size() && isdigit10(text[i]); ++i)
    wide = wide * 10 + static_cast<std::uint64_t>(text[i] - '0');
  std::uint32_t want = static_cast<std::uint32_t>(negative ? 0 - wide : wide);
  std::int32_t got = readint(text);
  FUZZCHECK(static_cast<std::uint32_t>(got) == want);
  if (i - digits <= 18) {
    std::string copy(text.substr(signat, i - signat));
    long long exact = std::strtoll(copy.c_str(), nullptr, 10);
    FUZZCHECK(static_cast<std::uint32_t>(exact) == want);
  }
}

static void checknumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isspace6(static_cast<unsigned char>(text[i])))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  std::string span;
  std::size_t ndigits = 0;
  for (; i < text.size() && isdigit10(text[i]); ++i, ++ndigits)
    span.push_back(text[i]);
  if (i < text.size() && text[i] == '.')
    for (span.push_back(text[i++]); i < text.size() && isdigit10(text[i]);
         ++i, ++ndigits)
      span.push_back(text[i]);
  double want = 0.0;
  if (ndigits > 0) {
    std::size_t e = i;
    if (e < text.size() && isexpletter(text[e])) {
      std::string exp = "e";
      ++e;
      if (e < text.size() && (text[e] == '+' || text[e] == '-'))
        exp.push_back(text[e++]);
      if (e < text.size() && isdigit10(text[e])) {
        for (; e < text.size() && isdigit10(text[e]); ++e)
          exp.push_back(text[e]);
        span += exp;
      }
    }
    want = std::strtod(span.c_str(), nullptr);
    if (negative)
      want = -want;
  }
  double got = readnumber(text);
  FUZZCHECK(std::memcmp(&got, &want, sizeof got) == 0);
}

// Whether the 17-digit decimal form of v has a tie at the sixth decimal:
// the digit there is 5 and every later one of the 17 is 0.
static bool tieat6(double v) {
  char sci[40];
  std::snprintf(sci, sizeof sci, "%.16e", std::fabs(v));
  char digits[17];
  digits[0] = sci[0];
  std::memcpy(digits + 1, sci + 2, 16);
  int j = std::atoi(sci + 19) + 6;
  if (j < 0 || j > 16 || digits[j] != '5')
    return false;
  for (++j; j < 17; ++j)
    if (digits[j] != '0')
      return false;
  return true;
}

// Adds one unit in the last place to a printed magnitude.
static std::string nextup(std::string s) {
  std::size_t i = s.size();
  while (i > 0) {
    --i;
    if (s[i] == '.')
      continue;
    if (s[i] != '9') {
      ++s[i];
      return s;
    }
    s[i] = '0';
  }
  return "1" + s;
}

static void checkformat(double v) {
  char text[maxformatted + 1];
  char* end = formatvalue(v, text);
  FUZZCHECK(end > text && end - text <= maxformatted);
  std::string got(text, static_cast<std::size_t>(end - text));
  if (std::isnan(v)) {
    FUZZCHECK(got == "nan");
    return;
  }
  if (std::isinf(v)) {
    FUZZCHECK(got == (v < 0 ? "-inf" : "inf"));
    return;
  }
  if (v == 0) {
    FUZZCHECK(got == "0.00000");
    return;
  }
  char sci[40];
  std::snprintf(sci, sizeof sci, "%.16e", std::fabs(v));
  int exp10 = std::atoi(sci + 19);
  if (exp10 >= 11) {
    // The 17 digits end before the sixth decimal: nothing rounds, and the
    // places past them print as 0.
    std::string want = v < 0 ? "-" : "";
    for (int place = exp10; place >= -5; --place) {
      int j = exp10 - place;
      want.push_back(j == 0 ? sci[0] : j < 17 ? sci[j + 1] : '0');
      if (place == 0)
        want.push_back('.');
    }
    FUZZCHECK(got == want);
    return;
  }
  // Otherwise only a tie of the 17 digits may round otherwise than
  // printf's rounding of the exact value: away from zero, one unit above.
  char want[maxformatted + 8];
  std::snprintf(want, sizeof want, "%.5f", v);
  if (got == want)
    return;
  std::string_view mag(want);
  bool negative = mag.front() == '-';
  if (negative)
    mag.remove_prefix(1);
  FUZZCHECK(tieat6(v));
  FUZZCHECK(got == (negative ? "-" : "") + nextup(std::string(mag)));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  checkint(text);
  checknumber(text);
  // The same bytes as doubles, to print every kind of value there is.
  for (std::size_t i = 0; i + sizeof(double) <= size; i += sizeof(double)) {
    double v;
    std::memcpy(&v, data + i, sizeof v);
    checkformat(v);
  }
  checkformat(readnumber(text));
  return 0;
}
