#include "smoother/writer.h"

#include <string>

#include "smoother/main.h"
#include "smoother/numbers.h"
#include "smoother/reader.h"

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

int writetable(const diag& dg, const options& opt, const table& tab,
               textin* tmp, textout* out) {
  // The header stays in its own buffer: the column names point into it.
  char header[maxpiece];
  char piece[maxpiece];
  std::string_view names[maxcols];
  std::string_view fields[maxfields];
  std::string line;
  for (int r = -1; r < tab.nrows; ++r) {
    char* text = r < 0 ? header : piece;
    long len = readpiece(tmp, text);
    if (len < 0) {
      say(dg, {"Error reading ", tmpname});
      return -1;
    }
    if (len == 0)
      break;
    int nfields =
        splitfields(std::string_view(text, static_cast<std::size_t>(len)),
                    fields);
    if (nfields == 0)
      continue;  // no tab and no line end: nothing to write
    line.clear();
    int k = 0;
    for (int i = 0; i < nfields; ++i) {
      if (i < 4) {
        line.append(fields[i]).push_back('\t');
        continue;
      }
      bool column = k < tab.nLR;
      if (column && (i == tab.LRcol[k] || i == tab.dLRcol[k])) {
        line.append(fields[i]).push_back('\t');
        if (r < 0 && i == tab.LRcol[k])
          names[k] = fields[i];
      } else {
        say(dg, {"Output counting error line ", decimal(r), " array ",
                 decimal(k)});
      }
      if (column && (i == tab.dLRcol[k] || tab.dLRcol[k] == 0)) {
        insertfields(opt, tab, names[k], k, r, &line);
        ++k;
      }
    }
    line.back() = '\n';
    textwrite(out, line.data(), line.size());
    textendcall(out);
  }
  return 0;
}
