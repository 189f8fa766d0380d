#include "smoother/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

bool isblankbyte(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

static bool isdigitbyte(unsigned char c) { return c >= '0' && c <= '9'; }

std::int32_t readint(std::string_view text, bool* whole) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && isblankbyte(text[i]))
    ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  const std::size_t first = i;
  std::uint32_t value = 0;
  for (; i < n && isdigitbyte(text[i]); ++i)
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
  if (whole)
    *whole = i > first && i == n;
  if (negative)
    value = 0u - value;
  return static_cast<std::int32_t>(value);
}

const double exactpowers[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Copies the digits of [first, last) to buf without their point and
// leading zeros: the first 2000 (more than a double's rounding can ever
// look at, and an argument can be longer than any field), then a 1 if any
// later digit is nonzero, which is all the rest can do to the rounding.
// Adds to *scale the count of digits left out and returns the length.
static std::size_t keepdigits(const char* first, const char* last, char* buf,
                              long* scale) {
  std::size_t len = 0;
  bool nonzero = false;
  for (const char* p = first; p < last; ++p) {
    if (*p == '.' || (len == 0 && *p == '0'))
      continue;
    if (len < 2000) {
      buf[len++] = *p;
    } else {
      ++*scale;
      nonzero = nonzero || *p != '0';
    }
  }
  if (nonzero) {
    buf[len++] = '1';
    --*scale;
  }
  if (len == 0)
    buf[len++] = '0';
  return len;
}

// Adds the digits from p on to *mantissa, which wraps when there are too
// many for it, and returns the end of the digits.
static const char* adddigits(const char* p, const char* end,
                             std::uint64_t* mantissa) {
  std::uint64_t m = *mantissa;
  for (; p < end; ++p) {
    auto digit = static_cast<unsigned char>(*p - '0');
    if (digit > 9)
      break;
    m = m * 10 + digit;
  }
  *mantissa = m;
  return p;
}

namespace {

// What the grammar of a floating-point number accepts from a text: the
// digits with their point, and the power of ten they are scaled by.
struct decimalspan {
  bool negative = false;
  const char* first = nullptr;     // the first digit
  const char* digitsend = nullptr; // past the last digit of the mantissa
  std::uint64_t mantissa = 0;      // all digits, when there are few enough
  long ndigits = 0;
  long power = 0;                  // the exponent less the fraction digits
  bool dexponent = false;          // the exponent's letter is d or D
  const char* end = nullptr;       // past the last character taken
};

}  // namespace

// Scans the number at the start of [p, end): white space, sign, digits with
// an optional point, and an exponent only where digits follow its letter
// and sign. The mantissa wraps when there are too many digits for it, and
// is then not used.
static decimalspan scandecimal(const char* p, const char* end) {
  decimalspan s;
  while (p < end && isblankbyte(*p))
    ++p;
  if (p < end && (*p == '+' || *p == '-'))
    s.negative = *p++ == '-';
  s.first = p;
  // The integer digits, then those after a point: a loop each, so that a
  // digit costs one test of the byte and no test of the point.
  p = adddigits(p, end, &s.mantissa);
  long fracdigits = 0;
  if (p < end && *p == '.') {
    const char* point = p;
    p = adddigits(p + 1, end, &s.mantissa);
    fracdigits = p - point - 1;
    s.ndigits = p - s.first - 1;
  } else {
    s.ndigits = p - s.first;
  }
  s.digitsend = s.end = p;
  if (s.ndigits == 0)
    return s;
  long exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D')) {
    const char* q = p + 1;
    bool expnegative = false;
    if (q < end && (*q == '+' || *q == '-'))
      expnegative = *q++ == '-';
    if (q < end && isdigitbyte(*q)) {
      for (; q < end && isdigitbyte(*q); ++q)
        if (exponent < 100000000)  // far beyond any double; stops overflow
          exponent = exponent * 10 + (*q - '0');
      if (expnegative)
        exponent = -exponent;
      s.end = q;
      s.dexponent = *p == 'd' || *p == 'D';
    }
  }
  s.power = exponent - fracdigits;
  return s;
}

// Converts a scanned number of many digits or a large power, which the
// exact fast path cannot take, through std::from_chars.
static double convertlong(const decimalspan& s) {
  // std::from_chars takes no d exponent and no sign of ours: hand it the
  // significant digits and the power of ten they take.
  char buf[2048];
  long scale = s.power;
  std::size_t len = keepdigits(s.first, s.digitsend, buf, &scale);
  // The digits d1..dn times 10^scale are 0.d1..dn times 10^(n + scale);
  // beyond the range of a double that power decides infinity or zero.
  long magnitude = static_cast<long>(len) + scale;
  buf[len++] = 'e';
  auto r = std::to_chars(buf + len, buf + sizeof buf, scale);
  len = static_cast<std::size_t>(r.ptr - buf);
  double value;
  if (std::from_chars(buf, buf + len, value).ec ==
      std::errc::result_out_of_range)
    value = magnitude > 0 ? HUGE_VAL : 0.0;
  return value;
}

// Reads the commonest field on its own: an optional minus, then one to 15
// digits with at most one point among them, and nothing else. It gives the
// bits of the general path below: the digits make an exact integer, and
// one division by an exact power of ten rounds correctly. False for any
// other field, which the general path takes.
static bool readplain(std::string_view text, double* value) {
  const char* p = text.data();
  const char* end = p + text.size();
  const bool negative = p < end && *p == '-';
  p += negative;
  if (end - p > 16)
    return false;
  std::uint64_t mantissa = 0;
  const char* point = nullptr;
  for (const char* q = p; q < end; ++q) {
    const unsigned digit = static_cast<unsigned char>(*q) - unsigned{'0'};
    if (digit < 10) {
      mantissa = mantissa * 10 + digit;
    } else if (*q == '.' && !point) {
      point = q;
    } else {
      return false;
    }
  }
  const long ndigits = (end - p) - (point != nullptr);
  if (ndigits < 1 || ndigits > 15)
    return false;
  const double m = static_cast<double>(mantissa);
  const double v = point ? m / exactpowers[end - point - 1] : m;
  *value = negative ? -v : v;
  return true;
}

// Converts the number scanned from text, as readnumber says. Where both
// its digits and its power of ten are exact doubles, one multiplication or
// division rounds correctly. Other spans go to std::from_chars as they
// stand, when fromchars is set and its grammar agrees with ours (an e
// exponent or none, and a value in range); the rest through convertlong.
static double readscanned(std::string_view text, bool* whole,
                          bool fromchars) {
  const char* end = text.data() + text.size();
  decimalspan s = scandecimal(text.data(), end);
  if (whole)
    *whole = s.ndigits > 0 && s.end == end;
  if (s.ndigits == 0)
    return 0.0;
  double value;
  std::from_chars_result r{nullptr, std::errc::invalid_argument};
  if (s.ndigits <= 15 && s.power >= -22 && s.power <= 22) {
    double m = static_cast<double>(s.mantissa);
    value = s.power < 0 ? m / exactpowers[-s.power] : m * exactpowers[s.power];
  } else if (!(fromchars && !s.dexponent &&
               (r = std::from_chars(s.first, s.end, value)).ec ==
                   std::errc() &&
               r.ptr == s.end)) {
    value = convertlong(s);
  }
  return s.negative ? -value : value;
}

double readnumber(std::string_view text, bool* whole) {
  double plain;
  if (readplain(text, &plain)) {
    if (whole)
      *whole = true;
    return plain;
  }
  return readscanned(text, whole, true);
}

double readnumberplain(std::string_view text, bool* whole) {
  return readscanned(text, whole, false);
}

bool hasdigits(std::string_view text) {
  return scandecimal(text.data(), text.data() + text.size()).ndigits > 0;
}

// text without the white space at its end.
static std::string_view trimend(std::string_view text) {
  while (!text.empty() && isblankbyte(text.back()))
    text.remove_suffix(1);
  return text;
}

bool isnumber(std::string_view text) {
  double plain;
  if (readplain(text, &plain))
    return true;
  text = trimend(text);
  const decimalspan s = scandecimal(text.data(), text.data() + text.size());
  return s.ndigits > 0 && s.end == text.data() + text.size();
}

bool ismissingword(std::string_view text) {
  text = trimend(text);
  while (!text.empty() && isblankbyte(text.front()))
    text.remove_prefix(1);
  char word[3] = {};
  if (text.size() > 3)
    return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    word[i] = text[i] >= 'A' && text[i] <= 'Z'
                  ? static_cast<char>(text[i] | 0x20)
                  : text[i];
  const std::string_view lower(word, text.size());
  return lower.empty() || lower == "na" || lower == "nan" || lower == "n/a";
}

bool isposition(std::string_view text) {
  text = trimend(text);
  std::size_t i = 0;
  while (i < text.size() && isblankbyte(text[i]))
    ++i;
  const bool negative = i < text.size() && text[i] == '-';
  i += i < text.size() && (text[i] == '-' || text[i] == '+');
  if (i == text.size())
    return false;
  // The magnitude, held back at a bound that no 32-bit number reaches.
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!isdigitbyte(text[i]))
      return false;
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), 1LL << 40);
  }
  return magnitude <= (negative ? 2147483648LL : 2147483647LL);
}

// Prints |v| (nonzero, finite) by the exact rule: its decimal form to 17
// significant digits, rounded at the fifth decimal, half away from zero.
static char* formatexact(double v, char* out) {
  // The value's decimal form to 17 significant digits: d.dddddddddddddddde±x.
  char sci[40];
  auto r = std::to_chars(sci, sci + sizeof sci, std::fabs(v),
                         std::chars_format::scientific, 16);
  char digits[17];
  digits[0] = sci[0];
  std::memcpy(digits + 1, sci + 2, 16);
  int exp10 = 0;
  std::from_chars(sci + 19 + (sci[19] == '+'), r.ptr, exp10);

  // Fixed-point digits from 10^max(exp10,0) down to 10^-5; digits past the
  // 17th significant one are 0. The 10^-6 digit decides the rounding, and
  // as a tie goes away from zero, 5 or more rounds the magnitude up.
  char fixed[maxformatted];
  int top = exp10 > 0 ? exp10 : 0;
  int count = top + 6;
  for (int i = 0; i < count; ++i) {
    int j = exp10 - (top - i);
    fixed[i + 1] = (j >= 0 && j < 17) ? digits[j] : '0';
  }
  fixed[0] = '0';
  int roundj = exp10 + 6;
  if (roundj >= 0 && roundj < 17 && digits[roundj] >= '5') {
    int i = count;
    while (fixed[i] == '9')
      fixed[i--] = '0';
    ++fixed[i];
  }
  // A carry out of the top digit lands in fixed[0].
  const char* from = fixed[0] == '0' ? fixed + 1 : fixed;
  std::size_t intdigits = static_cast<std::size_t>(fixed + count - 4 - from);
  std::memcpy(out, from, intdigits);
  out += intdigits;
  *out++ = '.';
  std::memcpy(out, fixed + count - 4, 5);
  return out + 5;
}

// The two digits of each number below 100, so that the decimals are printed
// a pair at a time.
static const char digitpairs[] =
    "0001020304050607080910111213141516171819"
    "2021222324252627282930313233343536373839"
    "4041424344454647484950515253545556575859"
    "6061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// n times 2^32 / 10^4, rounded up: for n below 1000000 its top word is
// n / 10^4, and the word below it the rest as a fraction, from which each
// multiplication by 100 lifts the next two decimal digits. So digits are
// taken without a division. (The unit tests check every n.)
static std::uint64_t tenthousandths(std::uint32_t n) {
  return static_cast<std::uint64_t>(n) * 429497u;
}

// The next two digits of y, as tenthousandths began it.
static std::uint64_t nextpair(std::uint64_t y, char* out) {
  y = (y & 0xffffffffu) * 100u;
  std::memcpy(out, digitpairs + 2 * (y >> 32), 2);
  return y;
}

// The two digits of n below 100 as a word, the first in its low byte.
static std::uint64_t pairbytes(std::uint64_t n) {
  const auto* pair = reinterpret_cast<const unsigned char*>(digitpairs + 2 * n);
  return pair[0] | std::uint64_t{pair[1]} << 8;
}

// Prints a count of hundred-thousandths below 1e11 in fixed point, its
// digits taken by multiplications alone.
static char* putunits(std::uint64_t units, char* out) {
  const auto whole = static_cast<std::uint32_t>(units / 100000);
  const auto decimals = static_cast<std::uint32_t>(units - whole * 100000ull);
  const std::uint64_t y = tenthousandths(decimals);
  const std::uint64_t y2 = (y & 0xffffffffu) * 100u;
  const std::uint64_t y3 = (y2 & 0xffffffffu) * 100u;
  // The point and five decimals, as the seven bytes from the point's on.
  const std::uint64_t fraction = '.' | (std::uint64_t{'0'} + (y >> 32)) << 8 |
                                 pairbytes(y2 >> 32) << 16 |
                                 pairbytes(y3 >> 32) << 32;
  // Most values are below ten: their one digit and the rest make one word.
  if (whole < 10) {
    storebytes(out, ('0' + whole) | fraction << 8);
    return out + 7;
  }
  char digits[6];
  std::uint64_t w = tenthousandths(whole);
  std::memcpy(digits, digitpairs + 2 * (w >> 32), 2);
  nextpair(nextpair(w, digits + 2), digits + 4);
  const int skip = whole < 100     ? 4
                   : whole < 1000   ? 3
                   : whole < 10000  ? 2
                   : whole < 100000 ? 1
                                    : 0;
  std::memcpy(out, digits + skip, static_cast<std::size_t>(6 - skip));
  out += 6 - skip;
  storebytes(out, fraction);
  return out + 6;
}

// Prints the values the fast path leaves: not-a-number, infinities,
// large values and those close to a tie.
static char* formatrest(double v, char* out) {
  if (std::isnan(v)) {
    std::memcpy(out, "nan", 3);
    return out + 3;
  }
  if (v < 0)
    *out++ = '-';
  if (std::isinf(v)) {
    std::memcpy(out, "inf", 3);
    return out + 3;
  }
  return formatexact(v, out);
}

char* formatvalueplain(double v, char* out) {
  if (std::isnan(v) || std::isinf(v))
    return formatrest(v, out);
  *out = '-';
  out += v < 0;
  return formatexact(v, out);
}

char* formatvalue(double v, char* out) {
  // Scaled by 1e5, a value below 1e6 differs from its 17-digit decimal form
  // scaled alike by less than 2e-5 (both roundings together stay under
  // 2e-16 of the value), so where the scaled fraction lies more than 1e-4
  // from one half it decides the rounding as the decimal form does. Only
  // values close to a tie need the exact digits; zero, of either sign,
  // prints as 0.00000 here as there. Not-a-number fails every comparison,
  // so one test sends it, infinities and large values the other way.
  const double scaled = std::fabs(v) * 1e5;
  if (scaled < 1e11) {
    // Truncation is floor for a positive value, without a library call;
    // the count goes back to a double by its bits, exactly, without
    // waiting on the register's last value.
    const auto units =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(scaled));
    const double whole =
        std::bit_cast<double>(units | 0x4330000000000000u) - 0x1p52;
    double frac = scaled - whole;  // exact: both close
    if (std::fabs(frac - 0.5) > 1e-4) {
      *out = '-';
      out += v < 0;
      return putunits(units + (frac > 0.5), out);
    }
  }
  return formatrest(v, out);
}
