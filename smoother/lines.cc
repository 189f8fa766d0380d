#include "smoother/lines.h"

#include <bit>
#include <cstring>
#include <limits>

#include "smoother/numbers.h"

bool linereserve(linebuf* line, std::size_t size) {
  // Doubling keeps the copying to twice the longest line in all.
  return growto(&line->text, &line->cap, size, line->size);
}

// The bytes that in has ready (avail of them) up to and including the
// first LF: sets *take to their count, and returns whether an LF ends them.
static bool uptolf(const textin& in, long avail, std::size_t* take) {
  const unsigned char* from = in.buf + in.start;
  *take = static_cast<std::size_t>(avail);
  const void* lf = std::memchr(from, '\n', *take);
  if (lf)
    *take = static_cast<std::size_t>(static_cast<const unsigned char*>(lf) -
                                     from) + 1;
  return lf != nullptr;
}

lineread readline(textin* in, linebuf* line, std::size_t limit) {
  line->size = 0;
  for (;;) {
    long avail = textfill(in);
    if (avail < 0)
      return lineread::failed;
    if (avail == 0)
      return line->size > 0 ? lineread::line : lineread::end;
    std::size_t take;
    const bool lf = uptolf(*in, avail, &take);
    if (take > limit - line->size ||
        !linereserve(line, line->size + take))
      return lineread::toolong;
    std::memcpy(line->text.get() + line->size, in->buf + in->start, take);
    line->size += take;
    in->start += take;
    if (lf)
      return lineread::line;
  }
}

long readlineto(textin* in, char* to, std::size_t room) {
  std::size_t size = 0;
  for (;;) {
    long avail = textfill(in);
    if (avail < 0)
      return -1;
    if (avail == 0)
      return static_cast<long>(size);
    std::size_t take;
    const bool lf = uptolf(*in, avail, &take);
    if (take > room - size)
      return -1;
    std::memcpy(to + size, in->buf + in->start, take);
    size += take;
    in->start += take;
    if (lf)
      return static_cast<long>(size);
  }
}

std::string_view linetext(std::string_view line) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  return line;
}

std::string_view linetext(const linebuf& line) {
  return linetext(std::string_view(line.text.get(), line.size));
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

void readvalues(const layout& lay, bool missing, std::string_view line,
                double* values, double* errors) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int k = 0; k < lay.nLR; ++k)
    values[k] = missing ? nan : 0.0;
  for (int e = 0; e < lay.nerr; ++e)
    errors[e] = 0.0;
  fieldwalk walk = walkfields(line);
  std::string_view field;
  for (long i = 0; i < lay.firststray && nextfield(&walk, &field); ++i) {
    if (i < 4)
      continue;
    const fieldrole& role = lay.role[i];
    const double value = readnumber(field);
    if (role.kind == fieldkind::error)
      errors[lay.errindex[role.col]] = value;
    else if (!missing || value != 0 || hasdigits(field))
      values[role.col] = value;
  }
  // A missing value has no error either: the marker leaves both out.
  for (int k = 0; missing && k < lay.nLR; ++k)
    if (lay.errindex[k] >= 0 && values[k] != values[k])
      errors[lay.errindex[k]] = nan;
}
