#include "smoother/pass2.h"

#include "smoother/lines.h"
#include "smoother/smoothing.h"
#include "smoother/tmpcopy.h"
#include "smoother/writer.h"

namespace {

// The rows of the copy as the smoothing reads them, and the output they
// are written to.
struct copyrows {
  const diag* dg;
  const options* opt;
  const table* tab;
  textin* copy;
  textout* out;
  writer wr;
  long nomemoryat = -1;  // the row whose output line could not be had

  // Reads row j's text into the band and its values into its slot. False
  // when the copy does not give it back as pass 1 kept it.
  bool read(long j, band* b) {
    char* room = bandroom(b);
    const long size = readlineto(copy, room, tab->longest);
    if (size <= 0)
      return false;
    const std::string_view text = linetext({room, static_cast<std::size_t>(size)});
    room[text.size()] = '\t';  // the band leaves room for it
    bandkeep(b, j, text.size() + 1);
    readvalues(tab->lay, opt->missing == 1, text, bandvalues(*b, j),
               banderrors(*b, j));
    return true;
  }

  void write(const chunkdone& c, band& b) {
    for (long i = c.first; i < c.end && nomemoryat < 0; ++i) {
      const std::string_view kept = bandtext(b, i);
      const long at = (i - c.first) * b.ncols;
      if (!writerow(&wr, i, kept.substr(0, kept.size() - 1), c.LRout + at,
                    c.dLRout + at))
        nomemoryat = i;
    }
    banddrop(&b, c.end - c.first, c.end);
    if (dg->shown)
      progressat(dg->shown, 2, c.end, tab->nrows);
  }

  bool gone() const { return nomemoryat >= 0 || out->failed || out->gone; }
};

}  // namespace

static int nomemory(const diag& dg, std::string_view what, long lineno) {
  say(dg, {"Unable to allocate memory for ", what, decimal(lineno)});
  return -1;
}

int writetable(const diag& dg, const options& opt, const table& tab,
               textin* copy, textout* out, outwatch* watch) {
  if (!tab.header)
    return 0;  // an empty input has no lines at all
  copyrows rows{&dg, &opt, &tab, copy, out, {}, -1};
  linebuf header;
  if (!writerstart(&rows.wr, dg, opt, tab.lay, out, tab.longest) ||
      !linereserve(&header, tab.longest + 1))
    return nomemory(dg, "line ", tab.longestline);
  // A table without data columns is copied, whatever the function.
  options smoothed = opt;
  if (tab.lay.nLR == 0)
    smoothed.smoothfunc = 0;
  smoothing sm;
  long widest;
  switch (smoothingstart(&sm, tab, smoothed, threadsfor(tab, smoothed),
                         widestunit(), watch, &widest)) {
    case shortage::none:
      break;
    case shortage::window:
      // The first line of the chunk whose windows need the most room.
      say(dg, {"Unable to allocate memory for the window of line ",
               decimal(tab.blocks[widest / blockrows].firstline)});
      return -1;
    case shortage::results:
      say(dg, {"Unable to allocate memory for the smoothed values"});
      return -1;
  }
  if (readline(copy, &header, tab.longest) != lineread::line) {
    tmpreadfailed(dg);
    return -1;
  }
  const std::string_view text = linetext(header);
  header.text[text.size()] = '\t';  // room was taken for it
  // Output lines are numbered as the lines of the output, the header 1.
  if (!writeheader(&rows.wr, text))
    return nomemory(dg, "output line ", 1);
  if (!drive(&sm, &rows)) {
    tmpreadfailed(dg);
    return -1;
  }
  if (outgone(watch))
    out->gone = true;
  if (rows.nomemoryat >= 0)
    return nomemory(dg, "output line ", rows.nomemoryat + 2);
  return 0;
}
