// Reading numbers from a field's own bytes, and printing values with five
// decimals.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "smoother/words.h"

// True for the white space that number reading skips and that marks a
// line to skip: space, tab, LF, vertical tab, form feed, CR; nothing from
// 0x80 up.
bool isblankbyte(unsigned char c);

// Reads a decimal integer from the start of text: white space, one optional
// sign, then digits accumulated with 32-bit wrap-around. No digits give 0.
// When whole is given, it tells whether text is one such number and
// nothing else.
std::int32_t readint(std::string_view text, bool* whole = nullptr);

// Reads a floating-point number from the start of text: white space, one
// optional sign, digits with an optional point, then an optional exponent
// (e, E, d or D) that counts only with digits. No digits give 0; a value
// beyond a double's range gives an infinity of its sign, one too small 0.
// When whole is given, it tells whether text is one such number and
// nothing else.
double readnumber(std::string_view text, bool* whole = nullptr);

// readnumber as the grammar reads it, without the fast paths: each number
// scanned in full, the long ones converted from a copy of their digits.
// The fast paths give its bits.
double readnumberplain(std::string_view text, bool* whole = nullptr);

// True when text begins with a number that readnumber takes digits for.
bool hasdigits(std::string_view text);

// True when text is white space, one number that readnumber takes whole,
// and white space.
bool isnumber(std::string_view text);

// True when text is white space, a word that marks a missing value (none,
// NA, NaN or N/A in any case), and white space.
bool ismissingword(std::string_view text);

// True when text is white space, an optional sign, digits that make a
// number from -2147483648 to 2147483647, and white space.
bool isposition(std::string_view text);

// Room needed by formatvalue: the largest double has 309 integer digits.
constexpr int maxformatted = 320;

// Writes v in fixed point with five decimals to out and returns the end.
// The rounding is decided on v's decimal form to 17 significant digits, a
// tie going away from zero; not-a-number prints "nan", infinities "inf".
char* formatvalue(double v, char* out);

// formatvalue without its fast path: every value from its 17 significant
// digits. The fast path prints its bytes.
char* formatvalueplain(double v, char* out);

// The commonest printed values, below 10 in magnitude, as formatvalue
// prints them, found for v[0] to v[n - 1] at once: value i's digit, point
// and five decimals, and a tab after them, are the eight bytes of
// low[i] | high[i] << 32 (top bit clear), the first in the low byte, with
// a minus before them where high[i]'s top bit is set. low[i] is 0 for a
// value of another kind, which formatvalue prints instead.
void shortforms(const double* v, std::size_t n, std::uint32_t* low,
                std::uint32_t* high);

// shortforms without the vector units: what they must agree with.
void shortformsportable(const double* v, std::size_t n, std::uint32_t* low,
                        std::uint32_t* high);

// True where the batches below run on a vector unit that makes them
// cheaper than their one-at-a-time forms: formatvalue, readshortnumber and
// takecopied.
bool batchespay();

// Puts a value that shortforms found, and its tab, at at; returns the end.
// Nine bytes are written.
inline char* putshort(char* at, std::uint32_t low, std::uint32_t high) {
  *at = '-';
  at += high >> 31;
  storebytes(at, low | std::uint64_t{high & 0x7fffffffu} << 32);
  return at + 8;
}

// Powers of ten that a double holds exactly: 1e0 to 1e22.
extern const double exactpowers[23];

// The digits and the points among the bytes of word that bytes marks, the
// high bit of each; true when those bytes hold nothing else. A byte below
// 0x80 is a digit when adding 0x50 carries into its high bit and adding
// 0x46 does not; no sum leaves its byte.
inline bool digitsandpoints(std::uint64_t word, std::uint64_t bytes,
                            std::uint64_t* digits, std::uint64_t* point) {
  const std::uint64_t low = word & ~highbits;
  *digits = (low + onebytes * (0x80 - '0')) &
            ~(low + onebytes * (0x80 - '9' - 1)) & ~word & highbits & bytes;
  *point = bytesof(word, '.') & bytes;
  return (*digits | *point) == (highbits & bytes);
}

// Reads field as readnumber does when it is the commonest kind of data
// field: an optional minus, then one to eight digits and points, with at
// most one point. The eight bytes after the minus are read, whatever the
// field's length, so nine bytes must be readable at its start. False,
// with *value unset, for any other field. Inline, as the fields of every
// data line pass through it.
inline bool readshortnumber(std::string_view field, double* value) {
  const bool negative = field[0] == '-';
  const std::size_t n = field.size() - negative;
  if (n - 1 > 7)
    return false;  // no digits, or more than eight bytes of them
  const std::uint64_t word = loadbytes(field.data() + negative);
  const std::uint64_t bytes = ~std::uint64_t{0} >> (64 - 8 * n);
  std::uint64_t digits, point;
  if (!digitsandpoints(word, bytes, &digits, &point) || digits == 0 ||
      (point & (point - 1)) != 0)
    return false;
  // The digits' values, the point's byte zero and the digits before it
  // moved up onto it: the digits lie together, the last in byte n - 1.
  const std::uint64_t d0 = word & (onebytes * 0x0f) & bytes &
                           ~((point >> 7) * 0xff);
  const int at = point ? std::countr_zero(point) / 8 : 0;
  const std::uint64_t before = point ? (std::uint64_t{1} << (8 * at)) - 1 : 0;
  std::uint64_t d = ((d0 & before) << 8) | (d0 & ~before);
  const int fraction = point ? static_cast<int>(n) - 1 - at : 0;
  // Moved to the word's top, with zeros before them, the digits make one
  // number by three multiplications, each joining neighbours pairwise.
  d <<= 8 * (8 - n);
  d = d * 10 + (d >> 8);
  const std::uint64_t pairs = 0x000000ff000000ffu;
  const std::uint64_t mantissa =
      ((d & pairs) * (100 + (1000000ull << 32)) +
       ((d >> 16) & pairs) * (1 + (10000ull << 32))) >> 32;
  // At most eight digits: as for any short number, an exact integer and
  // one division by an exact power of ten (1 without a fraction). The
  // integer is made a double by its bits, below 2^52 exactly; a
  // conversion instruction would wait on the register's last value.
  const double m =
      std::bit_cast<double>(mantissa | 0x4330000000000000u) - 0x1p52;
  // The sign half the fields have is put on by a product with -1, which
  // is exact: a branch on it would be mispredicted as often as not.
  static constexpr double signs[] = {1.0, -1.0};
  *value = m / exactpowers[fraction] * signs[negative];
  return true;
}

// A field of the commonest form, as a copy prints it: its bytes after the
// minus, as they stand and padded with zeros to five decimals.
struct copiedfield {
  std::uint64_t word;
  std::uint64_t padded;
  std::size_t size;  // bytes after the minus
  std::size_t paddedsize;
  bool negative;
  bool paddednegative;  // negative and not zero: -0.0 prints as 0.00000
};

// Takes a field of the commonest form, which formatvalue prints, from the
// value readnumber reads from it, as its own text padded with zeros
// (without the minus of a zero): an optional minus, one digit or two (the
// first not 0), a point and one to five digits. Eight bytes are read after
// the minus, so nine must be readable at the field's start. False for any
// other field. Inline, as every copied value passes through it.
inline bool takecopied(std::string_view field, copiedfield* c) {
  const bool negative = field[0] == '-';
  const std::size_t n = field.size() - negative;
  if (n - 3 > 5)
    return false;  // shorter than d.d, or longer than dd.ddddd
  const std::uint64_t word = loadbytes(field.data() + negative);
  const std::uint64_t bytes = ~std::uint64_t{0} >> (64 - 8 * n);
  // The point is the second byte or the third, and all the others are
  // digits.
  std::uint64_t digits, point;
  const bool plain = digitsandpoints(word, bytes, &digits, &point);
  const int at = std::countr_zero(point) / 8;
  const std::size_t decimals = n - 1 - static_cast<std::size_t>(at);
  if (!plain || (at != 1 && at != 2) ||
      (point & (point - 1)) != 0 || decimals - 1 > 4 ||
      (at == 2 && (word & 0xff) == '0'))
    return false;
  // Zeros after the field's own decimals, up to the fifth.
  const std::size_t end = static_cast<std::size_t>(at) + 6;
  const std::uint64_t pad = (~std::uint64_t{0} >> (64 - 8 * end)) & ~bytes;
  c->word = word & bytes;
  c->padded = c->word | (pad & onebytes * '0');
  c->size = n;
  c->paddedsize = end;
  c->negative = negative;
  c->paddednegative = negative && (word & (digits >> 7) * 0x0f) != 0;
  return true;
}

// readshortnumber for n fields at once, from a first look at each:
// word[i], the eight bytes after its minus, size[i], its bytes after the
// minus, and negative[i], 1 for a minus. Sets read[i] to 1 and value[i]
// to the field's value where readshortnumber reads it, else read[i] to 0.
void shortnumbers(const std::uint64_t* word, const std::uint32_t* size,
                  const std::uint32_t* negative, std::size_t n, double* value,
                  std::uint32_t* read);

// shortnumbers without the vector units: what they must agree with.
void shortnumbersportable(const std::uint64_t* word, const std::uint32_t* size,
                          const std::uint32_t* negative, std::size_t n,
                          double* value, std::uint32_t* read);

// takecopied for n fields at once, from a first look at each: word[i],
// the eight bytes after its minus, size[i], its bytes after the minus, and
// negative[i], 1 for a minus. Sets padded[i] to the field's padded word,
// and form[i] to its paddedsize with its paddednegative in bit 4, or to 0
// for a field of another form.
void copiedforms(const std::uint64_t* word, const std::uint32_t* size,
                 const std::uint32_t* negative, std::size_t n,
                 std::uint64_t* padded, std::uint32_t* form);

// copiedforms without the vector units: what they must agree with.
void copiedformsportable(const std::uint64_t* word, const std::uint32_t* size,
                         const std::uint32_t* negative, std::size_t n,
                         std::uint64_t* padded, std::uint32_t* form);

// Puts a minus where there is one and the size bytes of word at out, and
// returns their end. Eight bytes are written after the minus.
inline char* putcopied(char* out, bool negative, std::uint64_t word,
                       std::size_t size) {
  *out = '-';
  out += negative;
  storebytes(out, word);
  return out + size;
}

// Prints, as formatvalue prints the value readnumber reads from field, a
// field that takecopied takes, and returns the end; eight bytes are
// written from out's first after the minus. Null for any other field,
// with nothing written.
inline char* printcopied(std::string_view field, char* out) {
  copiedfield c;
  if (!takecopied(field, &c))
    return nullptr;
  return putcopied(out, c.paddednegative, c.padded, c.paddedsize);
}
