#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "smoother/smoothers.h"

// The all-columns kernel must print exactly what the plain column-by-column
// evaluation prints: compare their bits on random tables whose positions
// climb, drop and repeat, under every function, winsize and outopt.
TEST(SmoothTable, SameBitsAsPlainEvaluation) {
  static table tab;  // large; static storage like the program's own
  std::mt19937_64 gen(42);
  const int winsizes[] = {0, 1, 2, 3, 7, 50, 200, 1000, -1, -200,
                          2147483647, -2147483647 - 1};
  for (int round = 0; round < 240; ++round) {
    int n = static_cast<int>(gen() % 120);
    int ncols = 1 + static_cast<int>(gen() % maxcols);
    std::vector<std::vector<double>> cols(2 * ncols + 4,
                                          std::vector<double>(n + 1));
    tab = table();
    tab.nrows = n;
    tab.nLR = ncols;
    std::int32_t p = static_cast<std::int32_t>(gen() % 100);
    for (int r = 0; r < n; ++r) {
      switch (gen() % 8) {
        case 0: p -= static_cast<std::int32_t>(gen() % 300); break;  // drop
        case 1: break;                                               // repeat
        default: p += static_cast<std::int32_t>(gen() % 60);
      }
      tab.pos[r] = p;
    }
    for (int k = 0; k < ncols; ++k) {
      tab.LR[k] = cols[2 * k].data();
      tab.dLR[k] = gen() % 2 ? cols[2 * k + 1].data() : nullptr;
      for (int r = 0; r < n; ++r) {
        tab.LR[k][r] = std::ldexp(static_cast<double>(gen() % 2000000) - 1e6,
                                  -static_cast<int>(gen() % 30));
        if (tab.dLR[k])
          tab.dLR[k][r] = static_cast<double>(gen() % 100000) / 7e5;
      }
    }
    options opt;
    opt.smoothfunc = 1 + round % 5;
    opt.outopt = static_cast<int>(gen() % 3);
    opt.winsize = winsizes[gen() % (sizeof winsizes / sizeof *winsizes)];
    opt.stddev =
        (gen() % 2 ? -1.0 : 1.0) * static_cast<double>(gen() % 1000) / 999;

    // Both start from the same filling, so untouched errors compare too.
    const std::vector<double> filled(n + 1, 7.0);
    std::vector<std::vector<double>> want(2 * ncols, filled);
    std::vector<std::vector<double>> got(2 * ncols, filled);
    for (int k = 0; k < ncols; ++k)
      smoothcolumn(opt.smoothfunc, opt, tab.pos, tab.LR[k], tab.dLR[k],
                   want[2 * k].data(), want[2 * k + 1].data(), n);
    for (int k = 0; k < ncols; ++k) {
      tab.LRout[k] = got[2 * k].data();
      tab.dLRout[k] = got[2 * k + 1].data();
    }
    smoothtable(opt.smoothfunc, opt, &tab);
    for (int c = 0; c < 2 * ncols; ++c)
      ASSERT_EQ(std::memcmp(want[c].data(), got[c].data(),
                            (n + 1) * sizeof(double)), 0)
          << "round " << round << " column " << c / 2
          << (c % 2 ? " error" : " mean") << " function " << opt.smoothfunc
          << " outopt " << opt.outopt << " winsize " << opt.winsize;
  }
}
