#include "smoother/readback.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "smoother/band.h"
#include "smoother/kernel.h"
#include "smoother/lines.h"
#include "smoother/smoothing.h"
#include "smoother/tmpcopy.h"
#include "smoother/writer.h"

// Below this many table cells (rows times data columns) starting the
// threads, some 30 microseconds, costs more than the rows they take over
// save, even with windows of a few rows (measured: 150 rows of 64 columns,
// 1500 of 8, 4000 of 1).
constexpr long minthreadcells = 12000;

// Pass 2 from start to end.
struct pass2 {
  diag dg;
  const options* opt;
  const table* tab;
  textin* copy;
  textout* out;
  writer wr;
  linebuf line;
  band row;  // the row being copied, without smoothing
  double* errout = nullptr;  // the copied errors of that row
  textring ring;  // with smoothing, the text of the rows not yet written
  smoothing sm;
};

// The cores this process may run on, or 1 when that cannot be learnt.
static int usablecores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

static int readfailed(const pass2& p) {
  tmpreadfailed(p.dg);
  return -1;
}

// Reads the next kept line, and puts a tab after its text. False when the
// copy did not give back a line that pass 1 kept.
static bool takeline(pass2* p, std::string_view* text) {
  if (readline(p->copy, &p->line, p->tab->longest) != lineread::line)
    return false;
  *text = linetext(p->line);
  p->line.text[text->size()] = '\t';  // room was taken for it
  return true;
}

// Copies every row (function 0, or no data column to smooth): each value
// is printed as read, with its error from the error column, from stddev,
// or not-a-number for a missing value.
static int copyrows(pass2* p) {
  const layout& lay = p->tab->lay;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double* LR = p->row.values;
  double* dLR = p->row.errors;
  for (long r = 0; r < p->tab->nrows; ++r) {
    if (p->out->failed || p->out->gone)
      return 0;
    if ((r & 1023) == 0 && p->dg.shown)
      progressat(p->dg.shown, 2, r, p->tab->nrows);
    std::string_view text;
    if (!takeline(p, &text))
      return readfailed(*p);
    readvalues(lay, p->opt->missing == 1, text, LR, dLR);
    for (int k = 0; p->opt->outopt == 2 && k < lay.nLR; ++k)
      p->errout[k] = lay.errindex[k] >= 0 ? dLR[lay.errindex[k]]
                     : LR[k] != LR[k]     ? nan
                                          : p->opt->stddev;
    writerow(&p->wr, r, text, LR, p->errout);
  }
  return 0;
}

// Reads row j into the band and its text into the ring. False when the
// copy did not give it back as pass 1 kept it.
static bool keeprow(pass2* p, long j) {
  std::string_view text;
  if (!takeline(p, &text))
    return false;
  char* kept = textput(&p->ring, j, text.size() + 1);
  if (!kept)
    return false;
  std::memcpy(kept, text.data(), text.size() + 1);
  readvalues(p->tab->lay, p->opt->missing == 1, text,
             bandvalues(p->sm.bd, j), banderrors(p->sm.bd, j));
  return true;
}

// Smooths and writes the rows a chunk at a time, reading each row when the
// smoothing asks for it.
static int smoothrows(pass2* p) {
  smoothing* sm = &p->sm;
  for (;;) {
    for (long j; (j = smoothingwants(sm)) >= 0; smoothingread(sm))
      if (!keeprow(p, j))
        return readfailed(*p);
    long first;
    long end;
    const double* LRout;
    const double* dLRout;
    if (!smoothingnext(sm, &first, &end, &LRout, &dLRout))
      return 0;
    for (long i = first; i < end; ++i) {
      const std::string_view kept = textof(p->ring, i);
      const long at = (i - first) * sm->bd.ncols;
      writerow(&p->wr, i, kept.substr(0, kept.size() - 1), LRout + at,
               dLRout + at);
    }
    textdrop(&p->ring, end - first, end);
    smoothingwritten(sm);
    if (p->dg.shown)
      progressat(p->dg.shown, 2, end, p->tab->nrows);
    if (p->out->failed || p->out->gone)
      return 0;
  }
}

// Takes what smoothing needs: the smoothing's own, and the text ring for
// the rows it reads ahead. False when the memory cannot be had.
static bool startsmoothing(pass2* p) {
  const table& tab = *p->tab;
  const long cells = tab.nrows * tab.lay.nLR;
  const int nthreads = cells < minthreadcells ? 1 : usablecores();
  return smoothingstart(&p->sm, tab, *p->opt, nthreads, widestunit()) &&
         textreserve(&p->ring, p->sm.pl.textbytes, p->sm.pl.bandrows);
}

static int run(pass2* p) {
  const table& tab = *p->tab;
  const options& opt = *p->opt;
  if (!tab.header)
    return 0;  // an empty input has no lines at all
  // Room for the longest line with a tab after its text, its output line
  // and a row of its values.
  if (!linereserve(&p->line, tab.longest + 1) ||
      !writerstart(&p->wr, p->dg, opt, tab.lay, p->out, tab.longest) ||
      !bandreserve(&p->row, tab.lay, 1) ||
      !(p->errout = static_cast<double*>(
            std::malloc((static_cast<std::size_t>(tab.lay.nLR) + 1) *
                        sizeof(double))))) {
    say(p->dg, {"Unable to allocate memory for line ",
                decimal(tab.longestline)});
    return -1;
  }
  const bool smoothing = opt.smoothfunc >= 1 && opt.smoothfunc <= 5 &&
                         tab.lay.nLR > 0 && tab.nrows > 0;
  if (smoothing && !startsmoothing(p)) {
    // The first line of the chunk whose windows need the most room.
    say(p->dg, {"Unable to allocate memory for the window of line ",
                decimal(tab.chunks[p->sm.pl.widest].firstline)});
    return -1;
  }
  std::string_view header;
  if (!takeline(p, &header))
    return readfailed(*p);
  writeheader(&p->wr, header);
  return smoothing ? smoothrows(p) : copyrows(p);
}

int writetable(const diag& dg, const options& opt, const table& tab,
               textin* copy, textout* out) {
  pass2 p;
  p.dg = dg;
  p.opt = &opt;
  p.tab = &tab;
  p.copy = copy;
  p.out = out;
  const int status = run(&p);
  smoothingend(&p.sm);
  writerrelease(&p.wr);
  for (void* block : {static_cast<void*>(p.line.text),
                      static_cast<void*>(p.errout),
                      static_cast<void*>(p.row.values),
                      static_cast<void*>(p.row.errors),
                      static_cast<void*>(p.ring.bytes),
                      static_cast<void*>(p.ring.lines)})
    std::free(block);
  return status;
}
