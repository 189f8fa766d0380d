// Smoothing a table's rows as pass 2 reads them: the plan of the windows,
// the band that holds the rows they reach, and the scheduler that smooths
// each chunk once its windows are read. The band holds the rows one
// window reaches and a few chunks more, never the whole table unless one
// window takes it all.
#pragma once

#include "smoother/band.h"
#include "smoother/kernel.h"
#include "smoother/options.h"
#include "smoother/plan.h"
#include "smoother/scheduler.h"
#include "smoother/table.h"

struct smoothing {
  plan pl;
  band bd;
  kernelsetup ks;
  scheduler sc;  // last: it stops its threads before the rest goes
};

// How many threads smoothing tab's rows is worth, at most opt.threads
// when that is set.
int threadsfor(const table& tab, const options& opt);

// What smoothingstart could not have.
enum class shortage { none, window, results };

// Takes what smoothing tab's rows as opt asks needs, and starts up to
// nthreads - 1 threads, which sum on the given vector unit and stop once
// the reader of watch's output has gone (watch may be null). Returns what
// it could not have: the band for the window of the rows from row
// *widest, or the rest.
shortage smoothingstart(smoothing* sm, const table& tab, const options& opt,
                        int nthreads, vectorunit unit, outwatch* watch,
                        long* widest);

// Runs the smoothing from start to end, the one loop that drives it: reads
// each row its windows need, in order, with io->read(j, &band) (false when
// it cannot), and hands each chunk, once smoothed, to io->write(chunk,
// band), in order, until every chunk is written, the smoothing has
// stopped, or io->gone() says that no one wants them any more. False when
// a read failed.
template <typename rowio>
bool drive(smoothing* sm, rowio* io) {
  for (;;) {
    for (long j; (j = schedwants(&sm->sc)) >= 0; schedread(&sm->sc))
      if (!io->read(j, &sm->bd))
        return false;
    chunkdone done;
    if (!schednext(&sm->sc, &done))
      return true;
    io->write(done, sm->bd);
    schedwritten(&sm->sc);
    if (io->gone())
      return true;
  }
}
