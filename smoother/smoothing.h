// Pass 2's engine: the plan of the windows, the band that holds the rows
// they reach, read back from the intermediate file, and the scheduler that
// reads, smooths and prints each chunk on every core. The band holds the
// rows one window reaches and a few chunks more, never the whole table
// unless one window takes it all.
#pragma once

#include "smoother/band.h"
#include "smoother/kernel.h"
#include "smoother/options.h"
#include "smoother/plan.h"
#include "smoother/scheduler.h"
#include "smoother/table.h"
#include "smoother/writer.h"

struct smoothing {
  plan pl;
  band bd;
  kernelsetup ks;
  copysource src;
  scheduler sc;  // last: it stops its threads before the rest goes
};

// The threads a run may keep busy: opt.threads when that is set, else
// one for each core it may run on.
int threadsallowed(const options& opt);

// How many threads reading, smoothing and printing tab's rows is worth,
// at most threadsallowed(opt).
int threadsfor(const table& tab, const options& opt);

// What smoothingstart could not have.
enum class shortage { none, window, results };

// Takes what smoothing tab's rows as opt asks needs, and starts up to
// nthreads - 1 threads, which read the rows from the intermediate file
// copyfd, sum on the given vector unit, print with wr, and stop once the
// reader of watch's output has gone (watch may be null); the band keeps
// the lines of all the rows it reads when they take no more than budget
// bytes. Returns what it could not have: the band for the window of the
// rows from row *widest, or the rest.
shortage smoothingstart(smoothing* sm, const table& tab, const options& opt,
                        int nthreads, vectorunit unit, outwatch* watch,
                        int copyfd, const writer& wr, long* widest,
                        std::size_t budget = textbudget);

// Runs the smoothing from start to end, the one loop that drives it:
// hands each chunk, once read, smoothed and printed, to out->write(chunk,
// band), in order, until every chunk is written, the smoothing has
// stopped, or out->gone() says that no one wants them any more. Returns 0,
// or -1 when the intermediate file did not give back what pass 1 kept.
template <typename sink>
int drive(smoothing* sm, sink* out) {
  chunkdone done;
  while (schednext(&sm->sc, &done)) {
    out->write(done, sm->bd);
    schedwritten(&sm->sc);
    if (out->gone())
      break;
  }
  return sm->sc.failed.load() ? -1 : 0;
}
