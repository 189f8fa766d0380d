#include "smoother/writer.h"

#include <algorithm>
#include <string>

#include "smoother/lines.h"
#include "smoother/numbers.h"
#include "smoother/tmpcopy.h"

static void appendvalue(std::string* line, double v) {
  char text[maxformatted];
  char* end = formatvalue(v, text);
  line->append(text, static_cast<std::size_t>(end - text));
  line->push_back('\t');
}

// Appends the fields inserted after data column k: its new names in the
// header (r = -1), its smoothed value and error in data line r.
static void insertfields(const options& opt, const table& tab,
                         std::string_view name, int k, int r,
                         std::string* line) {
  if (r < 0) {
    decimal sf(opt.smoothfunc);
    line->append(name);
    if (opt.outopt == 0) {
      line->append("-plotline\t");
      return;
    }
    line->append("_smoothed").append(sf).push_back('\t');
    if (opt.outopt == 2)
      line->append(name).append("_error\t");
    return;
  }
  appendvalue(line, tab.LRout[k][r]);
  if (opt.outopt == 2)
    appendvalue(line, tab.dLRout[k][r]);
}

// Builds output line r from the fields of its kept line, each of which is
// followed by a tab in memory, the last one too. The line's own text is
// copied in spans that end where fields are inserted or left out, rather
// than field by field. The header's data fields name their columns, in
// names, for the fields inserted after them.
static void buildline(const diag& dg, const options& opt, const table& tab,
                      const std::string_view* fields, int nfields, int r,
                      std::string_view* names, std::string* line) {
  line->clear();
  const char* span = fields[0].data();  // kept text not yet copied
  for (int i = 4; i < nfields; ++i) {
    const fieldrole& role = tab.role[i];
    const char* after = fields[i].data() + fields[i].size() + 1;
    if (role.kind == fieldkind::stray) {
      line->append(span, fields[i].data());
      span = after;
      say(dg, {"Output counting error line ", decimal(r), " array ",
               decimal(role.col)});
    } else if (r < 0 && role.kind == fieldkind::data) {
      names[role.col] = fields[i];
    }
    if (role.insert) {
      line->append(span, after);
      span = after;
      insertfields(opt, tab, names[role.col], role.col, r, line);
    }
  }
  const std::string_view& last = fields[nfields - 1];
  line->append(span, last.data() + last.size() + 1);
  line->back() = '\n';
}

int writetable(const diag& dg, const options& opt, const table& tab,
               textin* copy, textout* out) {
  // The header stays in its own buffer: the column names point into it.
  // Each buffer has room for the tab that follows the last field.
  char header[maxpiece + 1];
  char piece[maxpiece + 1];
  std::string_view names[maxcols];
  std::string_view fields[maxfields];
  std::string line;
  int r = tab.header ? -1 : 0;
  for (; r < tab.nrows && !out->failed && !out->gone; ++r) {
    char* text = r < 0 ? header : piece;
    long len = readpiece(copy, text);
    int nfields = -1;
    if (len > 0) {
      len -= text[len - 1] == '\n';
      nfields = splitfields(
          std::string_view(text, static_cast<std::size_t>(len)), fields);
    }
    if (nfields < 0) {
      tmpreadfailed(dg);
      return -1;
    }
    text[len] = '\t';
    buildline(dg, opt, tab, fields, nfields, r, names, &line);
    textwrite(out, line.data(), line.size());
    textendcall(out);
  }
  return 0;
}
