#include "smoother/smoothers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::mt19937_64 gen(42);

int below(int limit) { return static_cast<int>(gen() % limit); }

// A random table: positions that climb, repeat and drop, spread so widely
// that a window meets thousands of distinct distances; values of many
// magnitudes, none, four in ten or nine in ten of them missing, the errors
// of missing ones often infinite or not-a-number; error columns on about
// half the data columns.
void filltable(table* tab, int n, int ncols,
               std::vector<std::vector<double>>* cols) {
  const int gaps = below(3) * 9 / 2;  // missing values in ten: 0, 4 or 9
  *tab = table();
  tab->nrows = n;
  tab->nLR = ncols;
  for (int r = 0, p = 0; r < n; ++r) {
    const int step = below(8);
    p += step == 0 ? -below(3000) : step == 1 ? 0 : below(200);
    tab->pos[r] = p;
  }
  cols->assign(2 * ncols, std::vector<double>(n));
  for (int k = 0; k < ncols; ++k) {
    tab->LR[k] = (*cols)[2 * k].data();
    tab->dLR[k] = below(2) ? (*cols)[2 * k + 1].data() : nullptr;
    for (int r = 0; r < n; ++r) {
      const bool missing = below(10) < gaps;
      tab->LR[k][r] = missing ? std::nan("")
                              : std::ldexp(below(2000001) - 1e6, -below(30));
      // A missing row's error is left out with it, whatever it holds.
      const double odd[] = {HUGE_VAL, std::nan(""), 1e300};
      if (tab->dLR[k])
        tab->dLR[k][r] = missing && below(2) ? odd[below(3)]
                                             : below(100000) / 7e5;
    }
  }
}

// Bit for bit, but one not-a-number as good as another: all print as nan.
// (With winsize 0 a weight is not-a-number, and the sign it ends with
// depends on whether a missing value's row was skipped or added as 0.)
bool samebits(const std::vector<double>& want, const std::vector<double>& got) {
  for (std::size_t r = 0; r < want.size(); ++r)
    if (std::memcmp(&want[r], &got[r], sizeof(double)) != 0 &&
        !(std::isnan(want[r]) && std::isnan(got[r])))
      return false;
  return true;
}

// The all-columns kernel must print exactly what the plain column-by-column
// evaluation prints, whatever the number of threads and on every vector
// unit the machine has: every function and
// outopt, winsize 0, the shortest reach, a reach read unsigned from -1, and
// windows so wide that distances share the weight cache's slots; one data
// column, too few or too many for whole vectors of them, and the most;
// tables of several chunks of rows, which the threads take in turn.
TEST(SmoothTable, SameBitsAsPlainEvaluationOnAnyThreadsAndUnit) {
  static table tab;  // large; static storage like the program's own
  std::vector<std::vector<double>> cols;
  const int widths[] = {1, 3, 8, 13, 32, 45, maxcols};
  int round = 0;
  for (int f = 1; f <= 5; ++f)
    for (int outopt = 0; outopt <= 2; ++outopt)
      for (int winsize : {0, 1, -1, 100000}) {
        const int n = round % 4 == 3 ? 300 + below(600) : 1 + below(160);
        const int ncols = widths[round++ % 7];
        filltable(&tab, n, ncols, &cols);
        options opt;
        opt.smoothfunc = f;
        opt.outopt = outopt;
        opt.winsize = winsize;
        // Now and then a stddev whose square is infinite, which a missing
        // row must not turn into not-a-number.
        opt.stddev = (below(2) ? -1.0 : 1.0) *
                     (round % 3 == 1 ? 1e200 : below(1000) / 999.0);
        // Both start from the same filling, so untouched errors compare too.
        std::vector<std::vector<double>> want(2 * ncols,
                                              std::vector<double>(n, 7.0));
        for (int k = 0; k < ncols; ++k)
          smoothcolumn(opt, tab.pos, tab.LR[k], tab.dLR[k],
                       want[2 * k].data(), want[2 * k + 1].data(), n);
        for (int nthreads : {1, 2, 7})
          for (int unit = 0; unit <= static_cast<int>(widestunit()); ++unit) {
          auto got = std::vector(2 * ncols, std::vector<double>(n, 7.0));
          for (int k = 0; k < ncols; ++k) {
            tab.LRout[k] = got[2 * k].data();
            tab.dLRout[k] = got[2 * k + 1].data();
          }
          smoothtable(opt, &tab, nthreads, static_cast<vectorunit>(unit));
          for (int c = 0; c < 2 * ncols; ++c)
            ASSERT_TRUE(samebits(want[c], got[c]))
                << "function " << f << " outopt " << outopt << " winsize "
                << winsize << " threads " << nthreads << " unit " << unit
                << " output " << c;
        }
      }
}

}  // namespace
