#include "smoother/writer.h"

#include <cstring>

#include "smoother/lines.h"
#include "smoother/numbers.h"

// Room taken ahead for the fields inserted after a data column: two
// values of up to 15 digits before the point, and their tabs. A line whose
// values need more grows its room.
constexpr std::size_t usualinserted = 2 * 24;

bool writerstart(writer* wr, const diag& dg, const options& opt,
                 const layout& lay, textout* out, std::size_t longest) {
  wr->opt = &opt;
  wr->lay = &lay;
  wr->dg = dg;
  wr->out = out;
  const auto ncols = static_cast<std::size_t>(lay.nLR);
  // The header inserts each name twice: three times the line in all.
  return longest < SIZE_MAX / 8 && ncols < SIZE_MAX / 8 / usualinserted &&
         (wr->names = allocate<std::string_view>(ncols)) &&
         growto(&wr->line, &wr->cap,
                3 * (longest + 1) + ncols * usualinserted, 0);
}

// The most that the fields inserted after one data column take: in a data
// line two printed values with their tabs; in the header its name twice,
// with the endings and the function's number.
static std::size_t insertedroom(const writer& wr, long r, int k) {
  if (r >= 0)
    return 2 * (maxformatted + 1);
  return 2 * wr.names[k].size() + 40;
}

// Makes room for need more bytes after at in the output line, which may
// move; at is kept in step. False when the memory cannot be had.
static bool room(writer* wr, char** at, std::size_t need) {
  const auto used = static_cast<std::size_t>(*at - wr->line.get());
  if (need <= wr->cap - used)
    return true;
  if (need > SIZE_MAX / 4 - used ||
      !growto(&wr->line, &wr->cap, used + need, used))
    return false;
  *at = wr->line.get() + used;
  return true;
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
static bool writeline(writer* wr, long r, std::string_view text,
                      const double* LRout, const double* dLRout) {
  const layout& lay = *wr->lay;
  char* at = wr->line.get();
  const char* span = text.data();  // kept text not yet copied
  fieldwalk walk = walkfields(text);
  std::string_view field;
  for (long i = 0; nextfield(&walk, &field); ++i) {
    if (i < 4)
      continue;
    const fieldrole role = roleof(lay, i);
    const char* after = field.data() + field.size() + 1;
    const std::string_view copied(span, field.data());
    if (role.kind == fieldkind::stray) {
      if (!room(wr, &at, copied.size()))
        return false;
      at = put(at, copied);
      span = after;
      say(wr->dg, {"Output counting error line ", decimal(r), " array ",
                   decimal(role.col)});
    } else if (r < 0 && role.kind == fieldkind::data) {
      wr->names[role.col] = field;
    }
    if (role.insert) {
      const std::string_view kept(span, after);
      if (!room(wr, &at, kept.size() + insertedroom(*wr, r, role.col)))
        return false;
      at = put(at, kept);
      span = after;
      at = insertfields(*wr, role.col, r, LRout, dLRout, at);
    }
  }
  // The last field with the tab after it, which becomes the line end.
  const std::string_view last(span, text.data() + text.size() + 1);
  if (!room(wr, &at, last.size()))
    return false;
  at = put(at, last);
  at[-1] = '\n';
  // Each output line is one call of its own.
  textwrite(wr->out, wr->line.get(), static_cast<std::size_t>(at - wr->line.get()));
  textendcall(wr->out);
  return true;
}

bool writeheader(writer* wr, std::string_view text) {
  return writeline(wr, -1, text, nullptr, nullptr);
}

bool writerow(writer* wr, long r, std::string_view text, const double* LRout,
              const double* dLRout) {
  return writeline(wr, r, text, LRout, dLRout);
}
