#include "smoother/writer.h"

#include <cstring>
#include <string_view>

#include "smoother/lines.h"
#include "smoother/numbers.h"
#include "smoother/smoothers.h"
#include "smoother/tmpcopy.h"

// Longest output line: the kept text with its tab; in a data line two
// printed values per column; in the header each column name twice, with
// their endings, where all the names together fit in one piece.
constexpr std::size_t maxoutline =
    3 * (maxpiece + 1) + maxcols * 2 * (maxformatted + 1);

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
static char* insertfields(const options& opt, const table& tab,
                          std::string_view name, int k, int r, char* at) {
  if (r >= 0) {
    at = putvalue(at, tab.LRout[k][r]);
    return opt.outopt == 2 ? putvalue(at, tab.dLRout[k][r]) : at;
  }
  at = put(at, name);
  if (opt.outopt == 0)
    return put(at, "-plotline\t");
  at = put(put(at, "_smoothed"), decimal(opt.smoothfunc));
  *at++ = '\t';
  if (opt.outopt == 2)
    at = put(put(at, name), "_error\t");
  return at;
}

// Builds output line r at at, from the fields of its kept line, each of
// which is followed by a tab in memory, the last one too, and returns its
// end. The line's own text is copied in spans that end where fields are
// inserted or left out, rather than field by field. The header's data
// fields name their columns, in names, for the fields inserted after them.
static char* buildline(const diag& dg, const options& opt, const table& tab,
                       const std::string_view* fields, int nfields, int r,
                       std::string_view* names, char* at) {
  const char* span = fields[0].data();  // kept text not yet copied
  for (int i = 4; i < nfields; ++i) {
    const fieldrole& role = tab.role[i];
    const char* after = fields[i].data() + fields[i].size() + 1;
    if (role.kind == fieldkind::stray) {
      at = put(at, std::string_view(span, fields[i].data()));
      span = after;
      say(dg, {"Output counting error line ", decimal(r), " array ",
               decimal(role.col)});
    } else if (r < 0 && role.kind == fieldkind::data) {
      names[role.col] = fields[i];
    }
    if (role.insert) {
      at = put(at, std::string_view(span, after));
      span = after;
      at = insertfields(opt, tab, names[role.col], role.col, r, at);
    }
  }
  const std::string_view& last = fields[nfields - 1];
  at = put(at, std::string_view(span, last.data() + last.size() + 1));
  at[-1] = '\n';
  return at;
}

// Reads the next kept line into text (room for maxpiece + 1 bytes) and
// puts a tab in place of its LF, or after it when it has none. Returns the
// length without the tab, or -1 when the copy did not give the line back.
static long takeline(textin* copy, char* text) {
  long len = readpiece(copy, text);
  if (len <= 0)
    return -1;
  len -= text[len - 1] == '\n';
  text[len] = '\t';
  return len;
}

int writetable(const diag& dg, const options& opt, const table& tab,
               textin* copy, textout* out) {
  // The header stays in its own buffer: the column names point into it.
  // Each buffer has room for the tab that follows the last field.
  static char header[maxpiece + 1];
  static char piece[maxpiece + 1];
  static char line[maxoutline];
  std::string_view names[maxcols];
  std::string_view fields[maxfields];
  int r = tab.header ? -1 : 0;
  for (; r < tab.nrows && !out->failed && !out->gone; ++r) {
    char* text = r < 0 ? header : piece;
    long len = takeline(copy, text);
    int nfields =
        len < 0 ? -1
                : splitfields(
                      std::string_view(text, static_cast<std::size_t>(len)),
                      fields);
    if (nfields < 0) {
      tmpreadfailed(dg);
      return -1;
    }
    smoothwait(r);
    // Each output line is one call of its own.
    char* end = buildline(dg, opt, tab, fields, nfields, r, names, line);
    textwrite(out, line, static_cast<std::size_t>(end - line));
    textendcall(out);
  }
  return 0;
}
