#include "smoother/writer.h"

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

// Prints output line r from the kept line's fields. The line's own text is
// copied in spans that end where fields are inserted or left out, rather
// than field by field.
char* printrow(const writer& wr, long r, std::string_view text,
               const double* LRout, const double* dLRout, char* at,
               char* end, long* nfields) {
  const layout& lay = *wr.lay;
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
  if (!at)
    return at;
  at[-1] = '\n';
  if (wr.printends && wr.out->crlf) {
    if (at == end)
      return nullptr;
    at[-1] = '\r';
    *at++ = '\n';
  }
  return at;
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
