#include "smoother/smoothing.h"

#include <sched.h>

// Below this many table cells (rows times data columns) starting the
// threads, some 30 microseconds, costs more than the rows they take over
// save, even with windows of a few rows (measured: 150 rows of 64 columns,
// 1500 of 8, 4000 of 1).
constexpr long minthreadcells = 12000;

// The cores this process may run on, or 1 when that cannot be learnt.
static int usablecores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

int threadsallowed(const options& opt) {
  // A run given its share of a machine by a scheduler is told how many.
  return opt.threads > 0 ? opt.threads : usablecores();
}

int threadsfor(const table& tab, const options& opt) {
  if (tab.nrows * tab.lay.nLR < minthreadcells)
    return 1;
  return threadsallowed(opt);
}

shortage smoothingstart(smoothing* sm, const table& tab, const options& opt,
                        int nthreads, vectorunit unit, outwatch* watch,
                        int copyfd, const writer& wr, long* widest,
                        std::size_t budget) {
  const shape sh = shapeof(opt);
  const layout& lay = tab.lay;
  sm->ks = {sh,
            rowsof(tab),
            opt.outopt == 2,
            opt.outopt == 2 && lay.nerr < lay.nLR,
            opt.missing == 1,
            opt.stddev,
            lay.errindex.get(),
            unit,
            watch};
  *widest = 0;
  if (!makeplan(tab, sh, nthreads, &sm->pl) ||
      !bandreserve(&sm->bd, sm->pl, tab, budget, widest))
    return shortage::window;
  sm->src = {copyfd, &lay, opt.missing == 1, tab.nrows};
  if (!schedstart(&sm->sc, sm->pl, sm->ks, &sm->bd, sm->src, tab, wr))
    return shortage::results;
  return shortage::none;
}
