#include "smoother/writer.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "smoother/lines.h"
#include "smoother/numbers.h"

// Room taken ahead for a printed value and its tab: up to 15 digits
// before the point. A value that needs more is printed with more room.
constexpr std::size_t usualvalue = 16;

// The values printed after each data column.
static std::size_t valuespercolumn(const writer& wr) {
  return wr.opt->outopt == 2 ? 2 : 1;
}

bool writerstart(writer* wr, const diag& dg, const options& opt,
                 const layout& lay, textout* out, std::size_t longest) {
  wr->opt = &opt;
  wr->lay = &lay;
  wr->dg = dg;
  wr->out = out;
  wr->plain = lay.firststray == lay.nroles;
  wr->batches = batchespay();
  char* const printed = formatvalue(opt.stddev, wr->stddevtext);
  *printed = '\t';
  wr->stddevsize = static_cast<std::size_t>(printed + 1 - wr->stddevtext);
  const auto ncols = static_cast<std::size_t>(lay.nLR);
  // The header inserts each name twice: three times the line in all.
  return longest < SIZE_MAX / 8 && ncols < SIZE_MAX / 8 / usualvalue / 2 &&
         (wr->names = allocate<std::string_view>(ncols)) &&
         growto(&wr->line, &wr->cap, 3 * (longest + 1) + printroom(*wr, 1, 0),
                0);
}

std::size_t printroom(const writer& wr, long rows, std::size_t bytes) {
  const auto values = static_cast<std::size_t>(wr.lay->nLR) *
                      valuespercolumn(wr);
  // A CR a line, with the line ends that out writes.
  return bytes + static_cast<std::size_t>(rows) * (values * usualvalue + 1) +
         2 * (maxformatted + 1);
}

static char* put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// Prints v and its tab at at, before end. Null when it may not fit.
static char* putvalue(char* at, char* end, double v) {
  if (end - at < maxformatted + 1)
    return nullptr;
  at = formatvalue(v, at);
  *at++ = '\t';
  return at;
}

// Prints the value read from field, *v where v is given, and its tab at
// at, before end: from the field's text where that prints its bytes.
// Null when it may not fit, or when it cannot be printed without v.
static char* putfield(char* at, char* end, std::string_view field,
                      const double* v) {
  char* const printed = field.empty() ? nullptr : printcopied(field, at);
  if (!printed)
    return v ? putvalue(at, end, *v) : nullptr;
  *printed = '\t';
  return printed + 1;
}

// The fields of data column col in the line being printed, as they were
// read into its values: kept where the values printed are the fields'
// own.
struct columntext {
  int col = -1;
  std::string_view value, error;
};

// Puts the fields inserted after data column k: its new names in the
// header (r = -1), its smoothed value and error in data line r. Null when
// they may not fit before end.
static char* insertfields(const writer& wr, int k, long r,
                          const double* LRout, const double* dLRout,
                          const columntext& own, char* at, char* end) {
  const options& opt = *wr.opt;
  if (r >= 0) {
    if (end - at < maxformatted + 1)
      return nullptr;
    // Without values, each one comes from its field's text; a value
    // printed so is there, not missing.
    const bool copied = own.col == k;
    at = putfield(at, end, copied ? own.value : std::string_view(),
                  LRout ? &LRout[k] : nullptr);
    if (opt.outopt != 2 || !at)
      return at;
    if (!LRout && wr.lay->errindex[k] < 0)
      return static_cast<std::size_t>(end - at) < wr.stddevsize
                 ? nullptr
                 : put(at, {wr.stddevtext, wr.stddevsize});
    // A missing value's error is missing, whatever its field holds.
    const bool present = !LRout || LRout[k] == LRout[k];
    return putfield(at, end,
                    copied && present ? own.error : std::string_view(),
                    LRout ? &dLRout[k] : nullptr);
  }
  const std::string_view name = wr.names[k];
  if (static_cast<std::size_t>(end - at) < 2 * name.size() + 40)
    return nullptr;
  at = put(at, name);
  if (opt.outopt == 0)
    return put(at, "-plotline\t");
  at = put(put(at, "_smoothed"), decimal(opt.smoothfunc));
  *at++ = '\t';
  if (opt.outopt == 2)
    at = put(put(at, name), "_error\t");
  return at;
}

// Copies text to at, before end. Null when it does not fit.
static char* putspan(char* at, char* end, std::string_view text) {
  if (static_cast<std::size_t>(end - at) < text.size())
    return nullptr;
  return put(at, text);
}

// Turns the tab that ends a printed line, before at, into its line end.
// Null when that does not fit before end.
static char* endline(const writer& wr, char* at, char* end) {
  at[-1] = '\n';
  if (wr.printends && wr.out->crlf) {
    if (at == end)
      return nullptr;
    at[-1] = '\r';
    *at++ = '\n';
  }
  return at;
}

// The most fields of a line whose tabs are all found before it is
// printed: a longer line is printed as it is walked.
constexpr long mostfields = 2048;

// Field i of a line whose tabs are at tabs, i from 1 on.
static std::string_view fieldat(const char* text, const std::uint32_t* tabs,
                                long i) {
  return {text + tabs[i - 1] + 1, tabs[i] - tabs[i - 1] - 1};
}

// Puts the bytes [from, upto) of a line's text at at, and returns their
// end: a span as long as a field or two, as most are, in one word or two
// overlapping ones. Eight bytes may be written from at; the line must be
// followed by its tab and eight more readable bytes, as the band keeps it.
static char* putline(char* at, const char* text, std::size_t from,
                     std::size_t upto) {
  const std::size_t size = upto - from;
  if (size <= 8) {
    std::memcpy(at, text + from, 8);
  } else if (size <= 16) {
    std::memcpy(at, text + from, 8);
    std::memcpy(at + size - 8, text + upto - 8, 8);
  } else {
    std::memcpy(at, text + from, size);
  }
  return at + size;
}

// Takes NA, the commonest marker of a missing value, as a copy prints it:
// as a value, nan where the missing option leaves it out, else 0.00000,
// as the grammar reads it; as an error, 0.00000. False for any other
// field.
static bool takena(std::string_view field, bool missingvalue,
                   copiedfield* c) {
  if (field != "NA")
    return false;
  c->word = std::uint64_t{'N'} | std::uint64_t{'A'} << 8;
  c->size = 2;
  c->negative = c->paddednegative = false;
  if (missingvalue) {
    c->padded = std::uint64_t{'n'} | std::uint64_t{'a'} << 8 |
                std::uint64_t{'n'} << 16;
    c->paddedsize = 3;
  } else {
    c->padded = loadbytes("0.00000\t");
    c->paddedsize = 7;
  }
  return true;
}

// Puts the copy of a field that a copy took, and its tab.
static char* putcopy(char* at, const copiedfield& c) {
  at = putcopied(at, c.paddednegative, c.padded, c.paddedsize);
  *at++ = '\t';
  return at;
}

// Prints the fields of copied line text, which has the header's fields at
// tabs, where each value and error is of the commonest form or NA, printed
// from its text: each field is read apart from the others, and the line's
// own text between two inserted fields is put at once. Returns the end,
// the last tab for the line end, or null where a field is of another form
// or the line may not fit; printrow then walks it.
static char* printplaincopy(const writer& wr, std::string_view text,
                            const std::uint32_t* tabs, char* at, char* end) {
  const layout& lay = *wr.lay;
  const long n = lay.nroles;
  // A copied field puts at most ten bytes, and eight more are written.
  const std::size_t room = text.size() + 1 + 9 +
                           static_cast<std::size_t>(lay.nLR) *
                               (2 * (10 + 10) + wr.stddevsize);
  if (static_cast<std::size_t>(end - at) < room)
    return nullptr;
  const bool errors = wr.opt->outopt == 2;
  const bool missing = wr.opt->missing == 1;
  // The forms of the fields [first, last), each a batch, as copiedforms
  // finds them from a first look at each.
  constexpr long batch = 64;
  std::uint64_t words[batch], padded[batch];
  std::uint32_t sizes[batch], negative[batch], forms[batch];
  long first = 4, last = 4;
  // Takes field i into c. For a value, sets *gone where it is missing;
  // gone is null for an error. False where the field is of another form.
  auto take = [&](long i, bool* gone,
                  copiedfield* c) __attribute__((always_inline)) {
    if (wr.batches && i >= last) {
      first = i;
      last = std::min(i + batch, n);
      lookatfields(text.data(), tabs, first, last, words, sizes, negative);
      copiedforms(words, sizes, negative,
                  static_cast<std::size_t>(last - first), padded, forms);
    }
    if (gone)
      *gone = false;
    if (wr.batches && forms[i - first] != 0) {
      c->padded = padded[i - first];
      c->paddedsize = forms[i - first] & 15;
      c->paddednegative = forms[i - first] >> 4;
      return true;
    }
    const std::string_view field = fieldat(text.data(), tabs, i);
    if (gone && missing && takena(field, true, c))
      return *gone = true;
    return (!wr.batches && takecopied(field, c)) || takena(field, false, c);
  };
  copiedfield value, error;
  bool gone;
  std::size_t from = 0;  // the line's text not yet put
  for (long i = 4; i < n; ++i) {
    if (!take(i, &gone, &value))
      return nullptr;
    // The line's own fields up to this column's last, as they stand, then
    // its copies. A missing value's error is missing, whatever its field
    // holds.
    if (lay.role[i].insert) {
      at = putline(at, text.data(), from, tabs[i] + 1);
      from = tabs[i] + 1;
      at = putcopy(at, value);
      if (errors)
        at = gone ? put(at, "nan\t") : put(at, {wr.stddevtext, wr.stddevsize});
      continue;
    }
    if (!take(++i, nullptr, &error))
      return nullptr;
    at = putline(at, text.data(), from, tabs[i] + 1);
    from = tabs[i] + 1;
    at = putcopy(at, value);
    if (errors)
      at = gone ? put(at, "nan\t") : putcopy(at, error);
  }
  // The fields after the last column's, with the tab after the line.
  return putline(at, text.data(), from, text.size() + 1);
}

// Prints the fields of line text, which has the header's fields at tabs,
// with the values LRout and errors dLRout inserted: the line's own text
// between two inserted fields is put at once. Returns the end, the last
// tab for the line end, or null where the line may not fit; printrow then
// walks it.
static char* printplainvalues(const writer& wr, std::string_view text,
                              const std::uint32_t* tabs,
                              const double* LRout, const double* dLRout,
                              char* at, char* end) {
  const layout& lay = *wr.lay;
  const long n = lay.nroles;
  const bool errors = wr.opt->outopt == 2;
  // The values of the columns [first, last), each a batch, LRout's and
  // dLRout's as shortforms finds them.
  constexpr int batch = 64;
  std::uint32_t low[2][batch], high[2][batch];
  int first = 0, last = 0;
  auto putone = [&](int which, const double* values, int k) {
    if (wr.batches && low[which][k - first] != 0)
      return putshort(at, low[which][k - first], high[which][k - first]);
    char* const after = formatvalue(values[k], at);
    *after = '\t';
    return after + 1;
  };
  std::size_t from = 0;  // the line's text not yet put
  for (long i = 4; i < n; ++i) {
    if (!lay.role[i].insert)
      continue;
    const int k = lay.role[i].col;
    const std::size_t upto = tabs[i] + 1;
    if (static_cast<std::size_t>(end - at) <
        upto - from + 2 * (maxformatted + 1))
      return nullptr;
    at = putline(at, text.data(), from, upto);
    from = upto;
    if (wr.batches && (k < first || k >= last)) {
      first = k;
      last = std::min(k + batch, lay.nLR);
      const auto size = static_cast<std::size_t>(last - first);
      shortforms(LRout + first, size, low[0], high[0]);
      if (errors)
        shortforms(dLRout + first, size, low[1], high[1]);
    }
    at = putone(0, LRout, k);
    if (errors)
      at = putone(1, dLRout, k);
  }
  // The fields after the last inserted ones, with the tab after the line.
  if (static_cast<std::size_t>(end - at) < text.size() + 1 - from)
    return nullptr;
  return put(at, {text.data() + from, text.size() + 1 - from});
}

// Prints output line r from the kept line's fields. The line's own text is
// copied in spans that end where fields are inserted or left out, rather
// than field by field.
char* printrow(const writer& wr, long r, std::string_view text,
               const double* LRout, const double* dLRout, char* at,
               char* end, long* nfields) {
  const layout& lay = *wr.lay;
  // A data line with the header's fields, as most are, is printed from all
  // its tabs found first: a copy's without its values, a smoothing's with
  // them.
  std::uint32_t tabs[mostfields + 1 + widestword];
  const long n = lay.nroles;
  if (wr.plain && r >= 0 && wr.copies == !LRout && n <= mostfields &&
      findtabs(text, tabs, n) == n) {
    char* const printed =
        wr.copies ? printplaincopy(wr, text, tabs, at, end)
                  : printplainvalues(wr, text, tabs, LRout, dLRout, at, end);
    if (printed) {
      *nfields = n;
      return endline(wr, printed, end);
    }
  }
  const char* span = text.data();  // kept text not yet copied
  columntext own;
  fieldwalk walk = walkfields(text);
  std::string_view field;
  long i = 0;
  for (; nextfield(&walk, &field) && at; ++i) {
    if (i < 4)
      continue;
    const fieldrole role = roleof(lay, i);
    const char* after = field.data() + field.size() + 1;
    // A copy's fields may be read a word at a time: eight bytes follow the
    // tab after the line.
    if (wr.copies && role.kind == fieldkind::data)
      own = {role.col, field, {}};
    else if (wr.copies && role.kind == fieldkind::error && role.col == own.col)
      own.error = field;
    if (role.kind == fieldkind::stray) {
      at = putspan(at, end, std::string_view(span, field.data()));
      span = after;
    }
    if (role.insert && at) {
      at = putspan(at, end, std::string_view(span, after));
      span = after;
      at = at ? insertfields(wr, role.col, r, LRout, dLRout, own, at, end)
              : at;
    }
  }
  *nfields = i;
  // The last field with the tab after it, which becomes the line end.
  if (at)
    at = putspan(at, end, std::string_view(span, text.data() + text.size() + 1));
  return at ? endline(wr, at, end) : at;
}

void writeprinted(writer* wr, long r, long nfields, std::string_view line) {
  for (long i = 4; i < nfields; ++i) {
    const fieldrole role = roleof(*wr->lay, i);
    if (role.kind == fieldkind::stray)
      say(wr->dg, {"Output counting error line ", decimal(r), " array ",
                   decimal(role.col)});
  }
  // Each output line is one call of its own.
  if (wr->printends) {
    textwritetranslated(wr->out, line.data(), line.size());
  } else {
    textwrite(wr->out, line.data(), line.size());
    textendcall(wr->out);
  }
}

bool writerow(writer* wr, long r, std::string_view text, const double* LRout,
              const double* dLRout) {
  // Printed into the writer's own line, which grows as the values need.
  for (;;) {
    long nfields;
    char* end = printrow(*wr, r, text, LRout, dLRout, wr->line.get(),
                         wr->line.get() + wr->cap, &nfields);
    if (end) {
      writeprinted(wr, r, nfields,
                   {wr->line.get(), static_cast<std::size_t>(end - wr->line.get())});
      return true;
    }
    if (!growto(&wr->line, &wr->cap, wr->cap + 1, 0))
      return false;
  }
}

bool writeheader(writer* wr, std::string_view text) {
  // The header's data fields name their columns for the fields inserted
  // after them.
  fieldwalk walk = walkfields(text);
  std::string_view field;
  for (long i = 0; nextfield(&walk, &field); ++i)
    if (i >= 4 && roleof(*wr->lay, i).kind == fieldkind::data)
      wr->names[roleof(*wr->lay, i).col] = field;
  return writerow(wr, -1, text, nullptr, nullptr);
}
