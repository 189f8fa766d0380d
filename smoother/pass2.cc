#include "smoother/pass2.h"

#include "smoother/lines.h"
#include "smoother/smoothing.h"
#include "smoother/tmpcopy.h"
#include "smoother/windows.h"
#include "smoother/writer.h"

namespace {

// The output: each chunk's printed lines, with the messages of their
// fields that the header has no column for, and the rows the smoothing
// left unprinted printed here.
struct output {
  const diag* dg;
  const table* tab;
  textout* out;
  writer wr;
  long nomemoryat = -1;  // the row whose output line could not be had

  void write(const chunkdone& c, const band& b) {
    const std::size_t* ends = c.ends;
    // Without messages, and but for a terminal, the lines go out as one.
    bool plain = !out->terminal;
    const layout& lay = *wr.lay;
    for (long r = 0; r < c.nprinted && plain; ++r)
      plain = c.nfields[r] <= lay.firststray;
    const long nprinted = c.nprinted;
    if (plain && nprinted > 0 && wr.printends) {
      textwritetranslated(out, c.printed, ends[nprinted - 1]);
    } else if (plain && nprinted > 0) {
      textwrite(out, c.printed, ends[nprinted - 1]);
    } else {
      for (long r = 0; r < nprinted; ++r) {
        const std::size_t from = r > 0 ? ends[r - 1] : 0;
        writeprinted(&wr, c.first + r, c.nfields[r],
                     {c.printed + from, ends[r] - from});
      }
    }
    for (long i = c.first + nprinted; i < c.end && nomemoryat < 0; ++i) {
      const std::string_view kept = bandtext(b, i);
      const long at = (i - c.first) * b.ncols;
      if (!writerow(&wr, i, kept.substr(0, kept.size() - 1), c.LRout + at,
                    c.dLRout + at))
        nomemoryat = i;
    }
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

// Reads the header back from the copy into header, with a tab after its
// text, which is set to it. False when it cannot be read.
static bool readheader(int copyfd, const table& tab, linebuf* header,
                       std::string_view* text) {
  const auto size = static_cast<std::size_t>(tab.headerbytes);
  if (!bandread({copyfd}, header->text.get(), size, 0))
    return false;
  // The copy ends the header with CR LF, unless it is the only line and
  // had no line end.
  std::size_t end = size;
  if (end > 0 && header->text[end - 1] == '\n') {
    --end;
    if (end > 0 && header->text[end - 1] == '\r')
      --end;
  }
  header->text[end] = '\t';
  *text = {header->text.get(), end};
  return true;
}

int writetable(const diag& dg, const options& opt, const table& tab,
               int copyfd, textout* out, outwatch* watch) {
  if (!tab.header)
    return 0;  // an empty input has no lines at all
  output rows{&dg, &tab, out, {}, -1};
  linebuf header;
  // The header as the copy holds it: a CR before its line end.
  if (!writerstart(&rows.wr, dg, opt, tab.lay, out, tab.longest) ||
      !linereserve(&header, tab.longest + 2))
    return nomemory(dg, "line ", tab.longestline);
  // Where no one sees the output's blocks, the lines are printed as they
  // go out and written as they stand.
  rows.wr.printends = out->block > blocksize && !out->terminal;
  // A table without data columns is copied, whatever the function.
  options smoothed = opt;
  if (tab.lay.nLR == 0)
    smoothed.smoothfunc = 0;
  rows.wr.copies = !findshape(smoothed.smoothfunc)->smooths;
  smoothing sm;
  long widest;
  switch (smoothingstart(&sm, tab, smoothed, threadsfor(tab, smoothed),
                         widestunit(), watch, copyfd, rows.wr, &widest)) {
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
  std::string_view text;
  if (!readheader(copyfd, tab, &header, &text)) {
    tmpreadfailed(dg);
    return -1;
  }
  // Output lines are numbered as the lines of the output, the header 1.
  if (!writeheader(&rows.wr, text))
    return nomemory(dg, "output line ", 1);
  if (drive(&sm, &rows) < 0) {
    tmpreadfailed(dg);
    return -1;
  }
  if (outgone(watch))
    out->gone = true;
  if (rows.nomemoryat >= 0)
    return nomemory(dg, "output line ", rows.nomemoryat + 2);
  return 0;
}
