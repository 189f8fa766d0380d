// Smoothing a table's rows as pass 2 reads them: pass 2 reads each row
// that the smoothing asks for into the band, and writes each chunk of rows
// once it is smoothed. The smoothing decides how far ahead to read, so the
// band holds the rows one window reaches and a few chunks more, never the
// whole table unless one window takes it all.
#pragma once

#include "smoother/band.h"
#include "smoother/kernel.h"
#include "smoother/scheduler.h"
#include "smoother/table.h"

struct smoothing {
  plan pl;
  band bd;
  kernelsetup ks;
  scheduler sc;
  long parsed = 0;   // rows read into the band
  long ready = 0;    // the first chunk whose windows are not all read
  long writing = 0;  // the chunk to write next
  bool started = false;
};

// Works out the plan for tab's rows and windows of the given reach, for
// smoothing on nthreads threads. False when its memory cannot be had.
bool makeplan(const table& tab, std::uint32_t reach, int nthreads,
              plan* pl);

// Takes what smoothing tab's rows as opt asks needs, the plan, the band and
// the results, and starts up to nthreads - 1 threads, which sum on the
// given vector unit. False when the memory cannot be had.
bool smoothingstart(smoothing* sm, const table& tab, const options& opt,
                    int nthreads, vectorunit unit);

// The row to read into the band now, at bandvalues(sm->bd, j) and
// banderrors(sm->bd, j); -1 when the next chunk can be waited for.
long smoothingwants(const smoothing* sm);

// The row smoothingwants asked for is in the band.
void smoothingread(smoothing* sm);

// Waits until the next chunk to write is smoothed, smoothing rows itself
// rather than wait, and sets [*first, *end) to its rows and LRout and
// dLRout to their means and errors, a row of one per data column after
// another. False when every chunk has been written.
bool smoothingnext(smoothing* sm, long* first, long* end,
                   const double** LRout, const double** dLRout);

// The chunk smoothingnext gave is written; its room may be used again.
void smoothingwritten(smoothing* sm);

// Ends the threads (a chunk under way ends after its tile) and gives back
// all that smoothingstart took.
void smoothingend(smoothing* sm);
