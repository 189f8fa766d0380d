// Whole lines, their fields, and the values of a data line: how both
// passes read the table.
#pragma once

#include <cstddef>
#include <bit>
#include <cstdint>
#include <string_view>

#include "smoother/memory.h"
#include "smoother/words.h"
#include "smoother/table.h"
#include "textio/textio.h"

// A line gathered from more than one block of its stream. The block grows
// with the longest line met, up to the reader's limit.
struct linebuf {
  owned<char> text;
  std::size_t size = 0;  // the line's bytes, its LF included when it has one
  std::size_t cap = 0;
};

// What readline found.
enum class lineread { line, end, failed, toolong };

// Takes room for at least size bytes in line. False when it cannot be had.
bool linereserve(linebuf* line, std::size_t size);

// Reads the next line from in, up to and including its LF; a last line
// without one ends with the input. Sets *text to its bytes: where they lie
// whole in in's block, there, until in is next read; else gathered in
// line, which grows as needed up to limit bytes: a longer line, or one
// there is no memory for, is toolong.
lineread readline(textin* in, linebuf* line, std::size_t limit,
                  std::string_view* text);

// The line without its LF: the end of the input ends a line as LF does.
std::string_view linetext(const linebuf& line);
std::string_view linetext(std::string_view line);

// Walks the fields of a line from the left: a field is the text up to the
// next tab, the last one the text up to the line's end. Tabs are found a
// word of bytes at a time: 16 with SSE2, 8 on any machine.
struct fieldwalk {
  const char* text;
  std::size_t size;
  std::size_t from = 0;    // where the next field starts
  std::size_t word = 0;    // where the next word to search starts
  std::uint32_t tabs = 0;  // tabs found in the last word, a bit each
  bool ended = false;      // the last field has been taken
};

// Strict reading's first look at values: the number of fields at the
// start of text (at most most of them) that are plainly numbers, an
// optional minus, digits with at most one point among them and at least
// one digit. Such a field is a number; any other is for the full grammar.
// Sets *next to where the field after them starts, past text's end when
// the line has no more.
long plainfields(std::string_view text, long most, std::size_t* next);

// plainfields one byte at a time, as every machine can: what the wider
// words must agree with.
long plainfieldsportable(std::string_view text, long most,
                         std::size_t* next);

// The number of tabs in text, counted up to atmost and no further.
std::size_t counttabs(std::string_view text, std::size_t atmost);

// counttabs with the words of eight bytes that every machine has.
std::size_t counttabsportable(std::string_view text, std::size_t atmost);

// Reads the values and errors of a data line (without its line end) into
// values and errors, up to its first field that is not in the layout. The
// line is followed by its tab and eight more readable bytes, as the band
// keeps it. A value the line does not give reads 0, or is missing with the
// missing option; an error it does not give reads 0. A missing value is
// not-a-number, which no number read can be, and so is its error.
void readvalues(const layout& lay, bool missing, std::string_view line,
                double* values, double* errors);

// The field walk is inline: every field of every line passes through it.

// Marks every tab of the eight bytes at text, a bit each, the first
// byte's lowest. Fields are short, so a library search per field would
// cost more than it saves.
inline std::uint32_t tabs8(const char* text) {
  // Gathers the eight high bits into the top byte, the first byte's
  // lowest: the product's partial sums never meet.
  return static_cast<std::uint32_t>(
      ((bytesof(loadbytes(text), '\t') >> 7) * 0x0102040810204080u) >> 56);
}

#if defined(__SSE2__) && !defined(QUORVEL_PORTABLE)
#include <emmintrin.h>

// Marks every tab of the sixteen bytes at text, a bit each.
inline std::uint32_t tabs16(const char* text) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  return static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))));
}
constexpr std::size_t widestword = 16;
#define QUORVEL_TABS16 1
#else
constexpr std::size_t widestword = 8;
#endif

// The tabs of the word of width bytes at text.
template <std::size_t width>
inline std::uint32_t tabsof(const char* text) {
#ifdef QUORVEL_TABS16
  if constexpr (width == 16)
    return tabs16(text);
#endif
  return tabs8(text);
}

// The tabs among the size bytes at text (below 32), a bit each, from
// the bytes of a word of width: one that ends within the eight bytes after
// them.
template <std::size_t width>
inline std::uint32_t tabsupto(const char* text, std::size_t size) {
  const std::uint32_t tabs = tabsof<width>(text);
  return size < width ? tabs & ((1u << size) - 1) : tabs;
}

// Sets tabs to the offset of each tab in text, a line, and of the tab
// after it, in order, up to most of them and perhaps a word's more: tabs
// holds most + 1 + widestword. Returns how many it found, more than most
// when the line has more, or -1 for a line too long for its offsets to
// fit 32 bits. The line is followed by its tab and eight more readable
// bytes, as the band keeps it, which may hold tabs too. Inline, as the
// tabs of every line printed or read for its values are found here.
inline long findtabs(std::string_view text, std::uint32_t* tabs, long most) {
  constexpr std::size_t width = widestword;
  const std::size_t size = text.size() + 1;
  if (size > UINT32_MAX)
    return -1;
  long count = 0;
  for (std::size_t w = 0; w < size && count <= most;) {
    const bool wide = w + width <= size + 8;
    std::uint32_t m = wide ? tabsupto<width>(text.data() + w, size - w)
                           : tabsupto<8>(text.data() + w, size - w);
    for (; m != 0; m &= m - 1)
      tabs[count++] = static_cast<std::uint32_t>(w + std::countr_zero(m));
    w += wide ? width : 8;
  }
  return count;
}

// The batches' first look at the fields [first, last) of a line, text,
// whose tabs findtabs found: field i's eight bytes after its minus go to
// word[i - first], its bytes after the minus to size[i - first], and 1
// for a minus, else 0, to negative[i - first]. A field at the line's end
// begins at the tab after it, and eight bytes are readable after that.
inline void lookatfields(const char* text, const std::uint32_t* tabs,
                         long first, long last, std::uint64_t* word,
                         std::uint32_t* size, std::uint32_t* negative) {
  for (long i = first; i < last; ++i) {
    const std::uint32_t start = tabs[i - 1] + 1;
    const std::uint32_t minus = text[start] == '-';
    word[i - first] = loadbytes(text + start + minus);
    size[i - first] = tabs[i] - start - minus;
    negative[i - first] = minus;
  }
}

// Starts a walk over text, a line without its line end.
inline fieldwalk walkfields(std::string_view text) {
  fieldwalk walk;
  walk.text = text.data();
  walk.size = text.size();
  return walk;
}

template <std::size_t width>
inline bool nextfieldof(fieldwalk* walk, std::string_view* field) {
  if (walk->ended)
    return false;
  std::size_t tab;
  for (;;) {
    if (walk->tabs != 0) {
      tab = walk->word - width +
            static_cast<std::size_t>(std::countr_zero(walk->tabs));
      walk->tabs &= walk->tabs - 1;
      break;
    }
    if (walk->word + width <= walk->size) {
      walk->tabs = tabsof<width>(walk->text + walk->word);
      walk->word += width;
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

// Takes the next field into field. False when the line has no more.
inline bool nextfield(fieldwalk* walk, std::string_view* field) {
  return nextfieldof<widestword>(walk, field);
}

// nextfield with the words of eight bytes that every machine has: what
// the wider words must agree with.
inline bool nextfieldportable(fieldwalk* walk,
                              std::string_view* field) {
  return nextfieldof<8>(walk, field);
}
