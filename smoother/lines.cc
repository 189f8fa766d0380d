#include "smoother/lines.h"

#include <algorithm>
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

lineread readline(textin* in, linebuf* line, std::size_t limit,
                  std::string_view* text) {
  line->size = 0;
  for (;;) {
    long avail = textfill(in);
    if (avail < 0)
      return lineread::failed;
    *text = {line->text.get(), line->size};
    if (avail == 0)
      return line->size > 0 ? lineread::line : lineread::end;
    std::size_t take;
    const bool lf = uptolf(*in, avail, &take);
    const char* from = reinterpret_cast<const char*>(in->buf + in->start);
    // Most lines lie whole in the block, and are taken where they are.
    if (lf && line->size == 0 && take <= limit) {
      in->start += take;
      *text = {from, take};
      return lineread::line;
    }
    if (take > limit - line->size ||
        !linereserve(line, line->size + take))
      return lineread::toolong;
    std::memcpy(line->text.get() + line->size, from, take);
    line->size += take;
    in->start += take;
    if (lf) {
      *text = {line->text.get(), line->size};
      return lineread::line;
    }
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

// The bits set in a word of tabs, counted in place: without an
// instruction for it, a library call per word would cost more than the
// search.
static std::uint32_t bitcount(std::uint64_t bits) {
  bits -= (bits >> 1) & (onebytes * 0x55);
  bits = (bits & (onebytes * 0x33)) + ((bits >> 2) & (onebytes * 0x33));
  bits = (bits + (bits >> 4)) & (onebytes * 0x0f);
  return static_cast<std::uint32_t>((bits * onebytes) >> 56);
}

template <std::size_t width>
static std::size_t counttabsof(std::string_view text, std::size_t atmost) {
  std::size_t count = 0;
  std::size_t p = 0;
  for (; p + width <= text.size() && count < atmost; p += width)
    count += bitcount(tabsof<width>(text.data() + p));
  for (; p < text.size() && count < atmost; ++p)
    count += text[p] == '\t';
  return count < atmost ? count : atmost;
}

// What plainfields has seen of the field under way.
struct plainfield {
  std::size_t start = 0;  // where it starts
  unsigned digits = 0;    // digits, and points, seen so far (up to 2)
  unsigned points = 0;
  bool minus = false;     // a minus anywhere but at its start
};

// Whether the field seen is plainly a number.
static bool isplain(const plainfield& f) {
  return f.digits > 0 && f.points < 2 && !f.minus;
}

long plainfieldsportable(std::string_view text, long most,
                         std::size_t* next) {
  long done = 0;
  plainfield f;
  for (std::size_t i = 0; i <= text.size() && done < most; ++i) {
    const char c = i < text.size() ? text[i] : '\t';
    if (c == '\t') {
      if (!isplain(f))
        break;
      ++done;
      f = plainfield();
      f.start = i + 1;
    } else if (static_cast<unsigned char>(c - '0') < 10) {
      f.digits = 1;
    } else if (c == '.') {
      f.points += f.points < 2;
    } else if (c != '-' || i != f.start) {
      break;  // a minus elsewhere, or a byte of no number
    }
  }
  *next = f.start;
  return done;
}

#ifdef QUORVEL_TABS16
// The bytes of 16 at text that are of the classes a plain number has, a
// bit each: digits, points, minus signs and tabs; *other gets the rest.
static void classes16(const char* text, std::uint32_t* digits,
                      std::uint32_t* points, std::uint32_t* minus,
                      std::uint32_t* tabs, std::uint32_t* other) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  // Digits are the bytes that stay below 10 once '0' is taken away,
  // compared as signed bytes after the sign bit is turned.
  const __m128i shifted = _mm_xor_si128(_mm_sub_epi8(bytes, _mm_set1_epi8('0')),
                                        _mm_set1_epi8(-128));
  const __m128i isdigit =
      _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + 10)));
  *digits = static_cast<std::uint32_t>(_mm_movemask_epi8(isdigit));
  *points = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
  *minus = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('-'))));
  *tabs = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))));
  *other = ~(*digits | *points | *minus | *tabs) & 0xffffu;
}

// The classes of the 64 bytes at text, a bit each, the first byte's
// lowest.
struct classes64 {
  std::uint64_t digits = 0, points = 0, minus = 0, tabs = 0, other = 0;
  explicit classes64(const char* text) {
    for (int w = 0; w < 4; ++w) {
      std::uint32_t d, p, m, t, o;
      classes16(text + 16 * w, &d, &p, &m, &t, &o);
      digits |= std::uint64_t{d} << 16 * w;
      points |= std::uint64_t{p} << 16 * w;
      minus |= std::uint64_t{m} << 16 * w;
      tabs |= std::uint64_t{t} << 16 * w;
      other |= std::uint64_t{o} << 16 * w;
    }
  }
};

// The first bits of marks at or after each bit of starts: adding a start
// carries through the bits without a mark up to the first one. A start
// always lies before the next one's first mark, as fields end in a tab.
static std::uint64_t firstafter(std::uint64_t marks, std::uint64_t starts) {
  return (~marks + starts) & marks;
}

// Takes the 64 bytes at text whole, when they hold nothing but plain
// fields (the one under way, f, first) and tabs, and fewer than left
// tabs: adds their tabs to *done and leaves f as the field after the last
// one. False, with nothing changed, for any other bytes.
static bool plainblock(const char* text, std::size_t at, long left, long* done,
                       plainfield* f) {
  const classes64 c(text + at);
  const std::uint64_t after = c.tabs << 1;
  const long ntabs = bitcount(c.tabs);
  if (c.other || (c.minus & ~(after | (f->start == at))) || ntabs >= left ||
      f->points > 1)
    return false;
  // A field whose first digit or tab is a tab has no digit; a field with
  // a point after its first, or after its start where it has one already,
  // has two (the field after the last tab too: it is left to the fields
  // one by one).
  const std::uint64_t ends = c.points | c.tabs;
  const std::uint64_t first =
      firstafter(ends, after | (f->points == 0)) & c.points;
  if ((firstafter(c.digits | c.tabs, after | !f->digits) & c.tabs) ||
      (firstafter(ends, (first << 1) | (f->points == 1)) & c.points))
    return false;
  *done += ntabs;
  const int from = std::bit_width(c.tabs);
  if (c.tabs) {
    *f = plainfield();
    f->start = at + static_cast<std::size_t>(from);
  }
  const std::uint64_t restdigits = from < 64 ? c.digits >> from : 0;
  const std::uint64_t restpoints = from < 64 ? c.points >> from : 0;
  f->digits |= restdigits != 0;
  f->points += restpoints != 0;
  return true;
}

#endif

long plainfields(std::string_view text, long most, std::size_t* next) {
#ifdef QUORVEL_TABS16
  long done = 0;
  plainfield f;  // the field under way, as far as the blocks before went
  std::size_t at = 0;
  // Most lines are plain fields alone: 64 bytes at a time while they are,
  // then 16 and the fields one by one.
  while (at + 64 <= text.size() &&
         plainblock(text.data(), at, most - done, &done, &f))
    at += 64;
  for (; at + 16 <= text.size() && done < most; at += 16) {
    std::uint32_t digits, points, minus, tabs, other;
    classes16(text.data() + at, &digits, &points, &minus, &tabs, &other);
    // A byte of no number, or a minus past a field's start, ends the plain
    // fields: the fields before it are taken one by one.
    const std::uint32_t starts = ((tabs << 1) | (f.start == at)) & 0xffffu;
    const std::uint32_t stop = other | (minus & ~starts);
    const unsigned limit = stop ? static_cast<unsigned>(std::countr_zero(stop))
                                : 16;
    unsigned from = f.start > at ? static_cast<unsigned>(f.start - at) : 0;
    tabs &= (1u << limit) - 1;
    for (; tabs != 0 && done < most; tabs &= tabs - 1) {
      const auto tab = static_cast<unsigned>(std::countr_zero(tabs));
      const std::uint32_t range = ((1u << tab) - 1) & ~((1u << from) - 1);
      const std::uint32_t p = points & range;
      if (!(f.digits | ((digits & range) != 0)) ||
          f.points + (p != 0) + ((p & (p - 1)) != 0) > 1) {
        *next = f.start;
        return done;
      }
      ++done;
      f = plainfield();
      f.start = at + tab + 1;
      from = tab + 1;
    }
    if (done == most || stop)
      break;
    const std::uint32_t rest = ~((1u << from) - 1) & 0xffffu;
    const std::uint32_t p = points & rest;
    f.digits |= (digits & rest) != 0;
    f.points += (p != 0) + ((p & (p - 1)) != 0);
  }
  *next = f.start;
  if (done == most || at + 16 <= text.size())
    return done;
  // The bytes after the last whole block, from the start of the field
  // under way, one at a time.
  const long rest =
      plainfieldsportable(text.substr(f.start), most - done, next);
  *next += f.start;
  return done + rest;
#else
  return plainfieldsportable(text, most, next);
#endif
}

#ifdef QUORVEL_TABS16
// The sum of the sixteen byte counters in counters.
static std::size_t sumcounters(__m128i counters) {
  const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
  return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
}
#endif

std::size_t counttabs(std::string_view text, std::size_t atmost) {
#ifdef QUORVEL_TABS16
  // Each word's tabs are taken from one byte counter each, lane by lane,
  // and the counters summed before any could pass 255: no count of bits.
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i zero = _mm_setzero_si128();
  const std::size_t words = text.size() / 16;
  std::size_t count = 0;
  std::size_t w = 0;
  while (w < words && count < atmost) {
    const std::size_t batch = std::min<std::size_t>(words - w, 255);
    __m128i counters = zero;
    for (std::size_t i = 0; i < batch; ++i, ++w)
      counters = _mm_sub_epi8(
          counters,
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(
                             text.data() + 16 * w)),
                         tab));
    count += sumcounters(counters);
  }
  if (count >= atmost)
    return atmost;
  // The bytes after the last whole word: the last sixteen of the line, of
  // which the ones counted already are masked off.
  const std::size_t rest = text.size() - 16 * words;
  if (rest == 0 || text.size() < 16)
    return count + counttabsof<8>(text.substr(16 * words), atmost - count);
  static const unsigned char after[32] = {
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0,    0,    0,    0,    0,    0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  const __m128i last = _mm_and_si128(
      _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(
                         text.data() + text.size() - 16)),
                     tab),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(after + rest)));
  count += sumcounters(_mm_sub_epi8(zero, last));
  return count < atmost ? count : atmost;
#else
  return counttabsof<widestword>(text, atmost);
#endif
}

std::size_t counttabsportable(std::string_view text, std::size_t atmost) {
  return counttabsof<8>(text, atmost);
}

// Reads field i of a data line, a value or an error as the layout has it:
// short plain numbers a word at a time; the commonest marker of a missing
// value reads 0 without digits, as the grammar reads it.
static void readfield(const layout& lay, bool missing, long i,
                      std::string_view field, double* values,
                      double* errors) {
  const fieldrole& role = lay.role[i];
  double value = 0;
  const bool plain = readshortnumber(field, &value);
  const bool na =
      !plain && field.size() == 2 && field[0] == 'N' && field[1] == 'A';
  if (!plain && !na)
    value = readnumber(field);
  if (role.kind == fieldkind::error)
    errors[lay.errindex[role.col]] = value;
  else if (plain || !missing || (!na && (value != 0 || hasdigits(field))))
    values[role.col] = value;
}

// The most fields a line may have for its values to be read in batches.
constexpr long mostbatched = 512;

// Reads the values of line's first nfields fields, whose tabs are at
// tabs, as readfield reads them: the short plain numbers in batches, by
// shortnumbers, from a first look at each field.
static void readbatches(const layout& lay, bool missing, std::string_view line,
                        const std::uint32_t* tabs, long nfields,
                        double* values, double* errors) {
  constexpr long batch = 64;
  std::uint64_t words[batch];
  std::uint32_t sizes[batch], negative[batch], read[batch];
  double got[batch];
  for (long first = 4; first < nfields; first += batch) {
    const long last = std::min(first + batch, nfields);
    lookatfields(line.data(), tabs, first, last, words, sizes, negative);
    shortnumbers(words, sizes, negative, static_cast<std::size_t>(last - first),
                 got, read);
    for (long i = first; i < last; ++i) {
      const fieldrole& role = lay.role[i];
      if (!read[i - first])
        readfield(lay, missing, i,
                  {line.data() + tabs[i - 1] + 1, tabs[i] - tabs[i - 1] - 1},
                  values, errors);
      else if (role.kind == fieldkind::error)
        errors[lay.errindex[role.col]] = got[i - first];
      else
        values[role.col] = got[i - first];
    }
  }
}

void readvalues(const layout& lay, bool missing, std::string_view line,
                double* values, double* errors) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int k = 0; k < lay.nLR; ++k)
    values[k] = missing ? nan : 0.0;
  for (int e = 0; e < lay.nerr; ++e)
    errors[e] = 0.0;
  std::uint32_t tabs[mostbatched + 1 + widestword];
  long found;
  if (batchespay() && lay.firststray <= mostbatched &&
      (found = findtabs(line, tabs, lay.firststray)) >= 0) {
    readbatches(lay, missing, line, tabs, std::min<long>(found, lay.firststray),
                values, errors);
  } else {
    fieldwalk walk = walkfields(line);
    std::string_view field;
    for (long i = 0;
         i < lay.firststray && nextfieldof<widestword>(&walk, &field); ++i)
      if (i >= 4)
        readfield(lay, missing, i, field, values, errors);
  }
  // A missing value has no error either: the marker leaves both out.
  for (int k = 0; missing && k < lay.nLR; ++k)
    if (lay.errindex[k] >= 0 && values[k] != values[k])
      errors[lay.errindex[k]] = nan;
}
