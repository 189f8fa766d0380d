// The commonest printed values, copied fields and short plain numbers, a
// batch at a time. This file alone is built with -O3 -fno-trapping-math,
// so that the compiler runs the loops below in vector lanes: it may then
// compare and convert doubles in lanes that it would otherwise take one
// by one for their exception flags, which nothing here reads. The values
// and bits are the same.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "smoother/numbers.h"

// As formatvalue's fast path decides it, for one digit before the point:
// the count of hundred-thousandths that |v| scales to, rounded up where
// its fraction lies above one half, unless within 1e-4 of it. A count of
// 1000000 (from 9.999995 up) would need two digits, and is left too. The
// count's digits are taken by multiplications: n / 1000 as a double
// product with 0.001 for n up to 1000000, n / 100 as (n * 41) >> 12 and
// n / 10 as (n * 205) >> 11 for n below 1000 (the unit tests check every
// n). Every step is a lane's own, in 32-bit lanes beside the doubles.
static inline __attribute__((always_inline)) void shortformsof(
    const double* __restrict v, std::size_t n, std::uint32_t* __restrict low,
    std::uint32_t* __restrict high) {
  for (std::size_t i = 0; i < n; ++i) {
    const double scaled = std::fabs(v[i]) * 1e5;
    const std::uint32_t small = scaled < 1e6;
    // Outside the range, a lane converts 0 instead, which is defined.
    const double s = small ? scaled : 0.0;
    const auto units = static_cast<std::int32_t>(s);
    const double frac = s - static_cast<double>(units);  // exact
    const std::uint32_t u = static_cast<std::uint32_t>(units) +
                            static_cast<std::uint32_t>(frac > 0.5);
    const std::uint32_t ok =
        small & static_cast<std::uint32_t>(std::fabs(frac - 0.5) > 1e-4) &
        static_cast<std::uint32_t>(u < 1000000u);
    const auto q = static_cast<std::uint32_t>(static_cast<std::int32_t>(
        static_cast<double>(static_cast<std::int32_t>(u)) * 0.001));
    const std::uint32_t l = u - q * 1000u;
    const std::uint32_t q100 = (q * 41u) >> 12, q10 = (q * 205u) >> 11;
    const std::uint32_t l100 = (l * 41u) >> 12, l10 = (l * 205u) >> 11;
    const std::uint32_t first = ('0' + q100) | ('.' << 8) |
                                (('0' + q10 - 10u * q100) << 16) |
                                (('0' + q - 10u * q10) << 24);
    const std::uint32_t second =
        ('0' + l100) | (('0' + l10 - 10u * l100) << 8) |
        (('0' + l - 10u * l10) << 16) | ('\t' << 24) |
        (static_cast<std::uint32_t>(v[i] < 0) << 31);
    low[i] = first & (0u - ok);
    high[i] = second;
  }
}

// A first look at the word w of a field whose bytes after the minus
// number size: 1 when size is from least to 8 and those bytes are digits
// and points alone, else 0. Sets *m to size, or 8 for a field of another
// size, which fails; *bytes to all ones in the first *m bytes, found from
// w itself, as the vectoriser takes a shift of a variable, not of a
// constant; and the digits and points among them.
static inline __attribute__((always_inline)) std::uint32_t lookat(
    std::uint64_t w, std::uint32_t size, std::uint32_t least,
    std::uint32_t* m, std::uint64_t* bytes, std::uint64_t* digits,
    std::uint64_t* point) {
  const std::uint32_t sized = size - least <= 8 - least;
  *m = sized ? size : 8u;
  const std::uint64_t k = 64 - 8 * static_cast<std::uint64_t>(*m);
  *bytes = (((((w | highbits) << k) >> k) & highbits) >> 7) * 0xff;
  return sized & static_cast<std::uint32_t>(
                     digitsandpoints(w, *bytes, digits, point));
}

// As takecopied decides it, from each field's word, its bytes after the
// minus and its minus: every test a lane's own, without a branch.
static inline __attribute__((always_inline)) void copiedformsof(
    const std::uint64_t* __restrict word, const std::uint32_t* __restrict size,
    const std::uint32_t* __restrict negative, std::size_t n,
    std::uint64_t* __restrict padded, std::uint32_t* __restrict form) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t w = word[i];
    // From d.d to dd.ddddd, with one point, the second byte or the third,
    // the first not 0 before the third, and one to five decimals.
    std::uint32_t m;
    std::uint64_t bytes, digits, point;
    const std::uint32_t plain =
        lookat(w, size[i], 3, &m, &bytes, &digits, &point);
    const std::uint32_t second = point == 0x8000u;
    const std::uint32_t third = point == 0x800000u;
    const std::uint32_t at = 2 - second;
    const std::uint32_t decimals = m - 1 - at;
    const std::uint32_t ok =
        plain & (second | third) & (decimals - 1u <= 4u) &
        ~(third & static_cast<std::uint32_t>((w & 0xff) == '0'));
    // Zeros after the field's own decimals, up to the fifth: to byte 7
    // after a point in the second, to byte 8 after one in the third.
    const std::uint64_t upto =
        second ? 0x00ffffffffffffffu : ~std::uint64_t{0};
    padded[i] = (w & bytes) | (upto & ~bytes & onebytes * '0');
    const std::uint32_t minus =
        negative[i] &
        static_cast<std::uint32_t>((w & (digits >> 7) * 0x0f) != 0);
    form[i] = ((at + 6) | minus << 4) & (0u - (ok & 1u));
  }
}

// As readshortnumber reads it, from each field's word, its bytes after
// the minus and its minus: every test a lane's own, without a branch. The
// digits are joined as readshortnumber's three multiplications join them,
// in 32 bits: byte 0 of d times 10^6, byte 2 times 10^4, byte 4 times 100
// and byte 6.
static inline __attribute__((always_inline)) void shortnumbersof(
    const std::uint64_t* __restrict word, const std::uint32_t* __restrict size,
    const std::uint32_t* __restrict negative, std::size_t n,
    double* __restrict value, std::uint32_t* __restrict read) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t w = word[i];
    // One to eight bytes, one digit at least and one point at most.
    std::uint32_t m;
    std::uint64_t bytes, digits, point;
    const std::uint32_t ok =
        lookat(w, size[i], 1, &m, &bytes, &digits, &point) &
        static_cast<std::uint32_t>(digits != 0) &
        static_cast<std::uint32_t>((point & (point - 1)) == 0);
    // The digits' values, the point's byte zero and the digits before it
    // moved up onto it.
    const std::uint64_t unit = point >> 7;  // 1 in the point's byte
    const std::uint64_t d0 = w & (onebytes * 0x0f) & bytes & ~(unit * 0xff);
    const std::uint64_t before = unit - (point != 0);
    std::uint64_t d = ((d0 & before) << 8) | (d0 & ~before);
    // The point's byte: 1 in it, times 7, 6, ... 0 from the low byte up,
    // leaves its place in the top byte.
    const auto at =
        static_cast<std::uint32_t>((unit * 0x0001020304050607u) >> 56);
    const std::uint32_t fraction = point != 0 ? m - 1 - at : 0;
    d <<= 8 * (8 - static_cast<std::uint64_t>(m));
    d = d * 10 + (d >> 8);
    const std::uint32_t mantissa =
        static_cast<std::uint32_t>(d & 0xff) * 1000000u +
        static_cast<std::uint32_t>((d >> 16) & 0xff) * 10000u +
        static_cast<std::uint32_t>((d >> 32) & 0xff) * 100u +
        static_cast<std::uint32_t>((d >> 48) & 0xff);
    // Below 10^8, the integer converts exactly; so do the products that
    // make 10^fraction, exactpowers' own, without a table to gather from.
    const double whole =
        static_cast<double>(static_cast<std::int32_t>(mantissa));
    const double power = ((fraction & 1) ? 1e1 : 1.0) *
                         ((fraction & 2) ? 1e2 : 1.0) *
                         ((fraction & 4) ? 1e4 : 1.0);
    value[i] = whole / power * (negative[i] ? -1.0 : 1.0);
    read[i] = ok;
  }
}

// The widest unit this machine runs the batches on: 2 for AVX-512, 1 for
// AVX2, 0 for none of them.
static int batchunit() {
#if defined(__x86_64__) && !defined(QUORVEL_PORTABLE)
  static const int unit = __builtin_cpu_supports("avx512f")  ? 2
                          : __builtin_cpu_supports("avx2") ? 1
                                                           : 0;
  return unit;
#else
  return 0;
#endif
}

bool batchespay() { return batchunit() > 0; }

// Batch name and name##portable, from its body name##of: built for
// AVX-512 and for AVX2 where the target has them, and run on the widest
// unit the machine has. Every unit gives the same bits.
#if defined(__x86_64__) && !defined(QUORVEL_PORTABLE)
#define QUORVEL_BATCH(name, params, args)                              \
  __attribute__((target("avx512f"))) static void name##avx512 params { \
    name##of args;                                                     \
  }                                                                    \
  __attribute__((target("avx2"))) static void name##avx2 params {      \
    name##of args;                                                     \
  }                                                                    \
  void name##portable params { name##of args; }                        \
  void name params {                                                   \
    const int unit = batchunit();                                      \
    if (unit == 2)                                                     \
      return name##avx512 args;                                        \
    if (unit == 1)                                                     \
      return name##avx2 args;                                          \
    name##portable args;                                               \
  }
#else
#define QUORVEL_BATCH(name, params, args)         \
  void name##portable params { name##of args; } \
  void name params { name##portable args; }
#endif

QUORVEL_BATCH(shortforms,
              (const double* v, std::size_t n, std::uint32_t* low,
               std::uint32_t* high),
              (v, n, low, high))
QUORVEL_BATCH(copiedforms,
              (const std::uint64_t* word, const std::uint32_t* size,
               const std::uint32_t* negative, std::size_t n,
               std::uint64_t* padded, std::uint32_t* form),
              (word, size, negative, n, padded, form))
QUORVEL_BATCH(shortnumbers,
              (const std::uint64_t* word, const std::uint32_t* size,
               const std::uint32_t* negative, std::size_t n, double* value,
               std::uint32_t* read),
              (word, size, negative, n, value, read))
