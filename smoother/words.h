// Eight bytes of text handled as one 64-bit word, the first byte in the
// word's low end on a machine of either byte order, so that the same bit
// tricks find the same bytes everywhere.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

constexpr std::uint64_t onebytes = 0x0101010101010101u;
constexpr std::uint64_t highbits = onebytes * 0x80;

// The eight bytes at text, the first in the low byte.
inline std::uint64_t loadbytes(const char* text) {
  std::uint64_t word;
  std::memcpy(&word, text, 8);
  if constexpr (std::endian::native == std::endian::big)
    word = __builtin_bswap64(word);
  return word;
}

// Stores word as eight bytes at to, its low byte first.
inline void storebytes(char* to, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big)
    word = __builtin_bswap64(word);
  std::memcpy(to, &word, 8);
}

// The high bit of each byte of x that is zero, and of no other: no carry
// crosses from one byte into the next.
inline std::uint64_t zerobytes(std::uint64_t x) {
  return ~(((x & ~highbits) + ~highbits) | x) & highbits;
}

// The high bit of each byte of word that equals c.
inline std::uint64_t bytesof(std::uint64_t word, unsigned char c) {
  return zerobytes(word ^ (onebytes * c));
}
