#include "smoother/lines.h"

#include <bit>
#include <cstdint>
#include <cstring>

long readpiece(textin* in, char* piece) {
  std::size_t have = 0;
  while (have < maxpiece) {
    long avail = textfill(in);
    if (avail < 0)
      return -1;
    if (avail == 0)
      break;
    std::size_t take = static_cast<std::size_t>(avail);
    if (take > maxpiece - have)
      take = maxpiece - have;
    const unsigned char* from = in->buf + in->start;
    const void* lf = std::memchr(from, '\n', take);
    if (lf)
      take = static_cast<std::size_t>(static_cast<const unsigned char*>(lf) -
                                      from) + 1;
    std::memcpy(piece + have, from, take);
    have += take;
    in->start += take;
    if (lf)
      break;
  }
  return static_cast<long>(have);
}

bool toolong(std::string_view piece) {
  return piece.size() == maxpiece && piece.back() != '\n';
}

// Marks, with its high bit, every byte of word that is a tab.
static std::uint64_t tabsin(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  std::uint64_t x = word ^ (ones * '\t');
  // The high bit of a byte of x is set where the byte is zero, and only
  // there: no carry crosses from one byte into the next.
  return ~(((x & (ones * 0x7f)) + ones * 0x7f) | x) & (ones * 0x80);
}

// Eight bytes of text as a word whose low byte is the first of them, on a
// machine of either byte order.
static std::uint64_t loadbytes(const char* text) {
  std::uint64_t word;
  std::memcpy(&word, text, 8);
  if constexpr (std::endian::native == std::endian::big)
    word = __builtin_bswap64(word);
  return word;
}

int splitfields(std::string_view line, std::string_view* fields) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  // Tabs are found eight bytes at a time: fields are short, so a library
  // search per field would cost more than it saves.
  const char* text = line.data();
  const std::size_t size = line.size();
  int n = 0;
  std::size_t from = 0;
  std::size_t p = 0;
  auto field = [&](std::size_t tab) {
    fields[n++] = std::string_view(text + from, tab - from);
    from = tab + 1;
  };
  for (; p + 8 <= size; p += 8) {
    for (std::uint64_t tabs = tabsin(loadbytes(text + p)); tabs != 0; tabs &= tabs - 1) {
      if (n == maxfields - 1)
        return -1;
      field(p + static_cast<std::size_t>(__builtin_ctzll(tabs)) / 8);
    }
  }
  for (; p < size; ++p) {
    if (text[p] != '\t')
      continue;
    if (n == maxfields - 1)
      return -1;
    field(p);
  }
  fields[n++] = std::string_view(text + from, size - from);
  return n;
}
