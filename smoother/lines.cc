#include "smoother/lines.h"

#include <bit>
#include <cstdlib>
#include <cstring>

bool linereserve(linebuf* line, std::size_t size) {
  if (size <= line->cap)
    return true;
  // Doubling keeps the copying to twice the longest line in all.
  std::size_t cap = line->cap < 128 ? 256 : line->cap;
  while (cap < size)
    cap = cap > SIZE_MAX / 2 ? size : 2 * cap;
  void* text = std::realloc(line->text, cap);
  if (!text)
    return false;
  line->text = static_cast<char*>(text);
  line->cap = cap;
  return true;
}

lineread readline(textin* in, linebuf* line, std::size_t limit) {
  line->size = 0;
  for (;;) {
    long avail = textfill(in);
    if (avail < 0)
      return lineread::failed;
    if (avail == 0)
      return line->size > 0 ? lineread::line : lineread::end;
    const unsigned char* from = in->buf + in->start;
    std::size_t take = static_cast<std::size_t>(avail);
    const void* lf = std::memchr(from, '\n', take);
    if (lf)
      take = static_cast<std::size_t>(static_cast<const unsigned char*>(lf) -
                                      from) + 1;
    if (take > limit - line->size ||
        !linereserve(line, line->size + take))
      return lineread::toolong;
    std::memcpy(line->text + line->size, from, take);
    line->size += take;
    in->start += take;
    if (lf)
      return lineread::line;
  }
}

std::string_view linetext(const linebuf& line) {
  std::size_t size = line.size;
  if (size > 0 && line.text[size - 1] == '\n')
    --size;
  return {line.text, size};
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

// Marks, with its high bit, every byte of word that is a tab. Tabs are
// found eight bytes at a time: fields are short, so a library search per
// field would cost more than it saves.
static std::uint64_t tabsin(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  std::uint64_t x = word ^ (ones * '\t');
  // The high bit of a byte of x is set where the byte is zero, and only
  // there: no carry crosses from one byte into the next.
  return ~(((x & (ones * 0x7f)) + ones * 0x7f) | x) & (ones * 0x80);
}

fieldwalk walkfields(std::string_view text) {
  fieldwalk walk;
  walk.text = text.data();
  walk.size = text.size();
  return walk;
}

bool nextfield(fieldwalk* walk, std::string_view* field) {
  if (walk->ended)
    return false;
  std::size_t tab;
  for (;;) {
    if (walk->tabs != 0) {
      tab = walk->word - 8 +
            static_cast<std::size_t>(std::countr_zero(walk->tabs)) / 8;
      walk->tabs &= walk->tabs - 1;
      break;
    }
    if (walk->word + 8 <= walk->size) {
      walk->tabs = tabsin(loadbytes(walk->text + walk->word));
      walk->word += 8;
      continue;
    }
    // The last few bytes, one at a time.
    while (walk->word < walk->size && walk->text[walk->word] != '\t')
      ++walk->word;
    if (walk->word == walk->size) {
      *field = {walk->text + walk->from, walk->size - walk->from};
      walk->ended = true;
      return true;
    }
    tab = walk->word++;
    break;
  }
  *field = {walk->text + walk->from, tab - walk->from};
  walk->from = tab + 1;
  return true;
}

std::size_t counttabs(std::string_view text, std::size_t atmost) {
  std::size_t count = 0;
  std::size_t p = 0;
  for (; p + 8 <= text.size() && count < atmost; p += 8)
    count += static_cast<std::size_t>(
        std::popcount(tabsin(loadbytes(text.data() + p))));
  for (; p < text.size() && count < atmost; ++p)
    count += text[p] == '\t';
  return count < atmost ? count : atmost;
}
