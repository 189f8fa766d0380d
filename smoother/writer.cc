#include "smoother/writer.h"

#include <cstdlib>
#include <cstring>

#include "smoother/lines.h"
#include "smoother/numbers.h"

bool writerstart(writer* wr, const diag& dg, const options& opt,
                 const layout& lay, textout* out, std::size_t longest) {
  wr->opt = &opt;
  wr->lay = &lay;
  wr->dg = dg;
  wr->out = out;
  // The kept text with its tab; in a data line two printed values per
  // column; in the header each column's name twice, with the endings and
  // the function's number, where all the names together fit in the line.
  const auto ncols = static_cast<std::size_t>(lay.nLR);
  const std::size_t inserted = 2 * (maxformatted + 1) + 40;
  if (longest > (SIZE_MAX / 4 - ncols * inserted) / 3)
    return false;
  wr->line = static_cast<char*>(
      std::malloc(3 * (longest + 1) + ncols * inserted));
  wr->names = static_cast<std::string_view*>(
      std::malloc((ncols + 1) * sizeof(std::string_view)));
  return wr->line && wr->names;
}

void writerrelease(writer* wr) {
  std::free(wr->line);
  std::free(wr->names);
}

static char* put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

static char* putvalue(char* at, double v) {
  at = formatvalue(v, at);
  *at++ = '\t';
  return at;
}

// Puts the fields inserted after data column k: its new names in the
// header (r = -1), its smoothed value and error in data line r.
static char* insertfields(const writer& wr, int k, long r,
                          const double* LRout, const double* dLRout,
                          char* at) {
  const options& opt = *wr.opt;
  if (r >= 0) {
    at = putvalue(at, LRout[k]);
    return opt.outopt == 2 ? putvalue(at, dLRout[k]) : at;
  }
  const std::string_view name = wr.names[k];
  at = put(at, name);
  if (opt.outopt == 0)
    return put(at, "-plotline\t");
  at = put(put(at, "_smoothed"), decimal(opt.smoothfunc));
  *at++ = '\t';
  if (opt.outopt == 2)
    at = put(put(at, name), "_error\t");
  return at;
}

// Builds and writes output line r from the kept line's fields. The line's
// own text is copied in spans that end where fields are inserted or left
// out, rather than field by field. The header's data fields name their
// columns for the fields inserted after them.
static void writeline(writer* wr, long r, std::string_view text,
                      const double* LRout, const double* dLRout) {
  const layout& lay = *wr->lay;
  char* at = wr->line;
  const char* span = text.data();  // kept text not yet copied
  fieldwalk walk = walkfields(text);
  std::string_view field;
  for (long i = 0; nextfield(&walk, &field); ++i) {
    if (i < 4)
      continue;
    const fieldrole role = roleof(lay, i);
    const char* after = field.data() + field.size() + 1;
    if (role.kind == fieldkind::stray) {
      at = put(at, std::string_view(span, field.data()));
      span = after;
      say(wr->dg, {"Output counting error line ", decimal(r), " array ",
                   decimal(role.col)});
    } else if (r < 0 && role.kind == fieldkind::data) {
      wr->names[role.col] = field;
    }
    if (role.insert) {
      at = put(at, std::string_view(span, after));
      span = after;
      at = insertfields(*wr, role.col, r, LRout, dLRout, at);
    }
  }
  // The last field with the tab after it, which becomes the line end.
  at = put(at, std::string_view(span, text.data() + text.size() + 1));
  at[-1] = '\n';
  // Each output line is one call of its own.
  textwrite(wr->out, wr->line, static_cast<std::size_t>(at - wr->line));
  textendcall(wr->out);
}

void writeheader(writer* wr, std::string_view text) {
  writeline(wr, -1, text, nullptr, nullptr);
}

void writerow(writer* wr, long r, std::string_view text,
              const double* LRout, const double* dLRout) {
  writeline(wr, r, text, LRout, dLRout);
}
