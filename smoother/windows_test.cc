// The window shapes and the window walk.
#include "smoother/windows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// Every function the table names: numbered by its place, the copy alone
// not smoothing; each window weighs 1 at distance 0 and little at its
// reach (those of the worked example, winsize 200, and of winsize -1 read
// unsigned), and only a constant weight stays 1 at width 0 (where the
// others divide 0 by 0).
TEST(Shapes, EveryEntryIsAWindowOrTheCopy) {
  // Function, reach at winsize 200, reach at winsize -1.
  const std::uint32_t reaches[][3] = {
      {0, 0, 0},         {1, 100, 2147483647u}, {2, 400, 4294967294u},
      {3, 170, 3665983897u}, {4, 600, 4294967293u}, {5, 400, 4294967294u}};
  for (const auto& [f, at200, atminus1] : reaches) {
    options opt;
    opt.smoothfunc = static_cast<int>(f);
    opt.winsize = -1;
    EXPECT_EQ(shapeof(opt).reach, atminus1) << f;
    opt.winsize = 200;
    EXPECT_EQ(shapeof(opt).reach, at200) << f;
  }
  EXPECT_EQ(findshape(-1), nullptr);
  EXPECT_EQ(findshape(nshapes), nullptr);
  for (int f = 0; f < nshapes; ++f) {
    const shapeinfo* info = findshape(f);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->smoothfunc, f);
    EXPECT_EQ(info->smooths, f != 0);
    options opt;
    opt.smoothfunc = f;
    opt.winsize = 200;
    const shape sh = shapeof(opt);
    EXPECT_EQ(weightof(sh, 0), 1.0);
    EXPECT_LT(weightof(sh, sh.reach), info->constantweight ? 1.01 : 0.1);
    opt.winsize = 0;
    EXPECT_EQ(weightof(shapeof(opt), 0) == 1.0, info->constantweight);
  }
}

// The walk gives each row the window that scanning from it gives: back
// from the row before it and forward from it, each scan ending at the
// first row whose unsigned 32-bit distance passes the reach, so at a
// lower position going forward, a higher one going backward, and where
// the distance wraps round 2^32; and, where the rows are in series, at
// the edges of the row's series, wherever the walk starts.
TEST(Windows, WalkAgreesWithScanning) {
  std::mt19937_64 gen(11);
  for (int round = 0; round < 300; ++round) {
    // In every third round the positions seldom drop: runs of hundreds of
    // rows.
    const long n = 1 + static_cast<long>(gen() % (round % 3 ? 400 : 3000));
    std::vector<std::int32_t> pos;
    std::uint32_t p = static_cast<std::uint32_t>(gen());
    for (long r = 0; r < n; ++r) {
      const unsigned step = gen() % (round % 3 ? 10 : 1000);
      p += step == 0 ? -static_cast<std::uint32_t>(gen() % 500)
           : step == 1 ? 0u
           : step == 2 ? 2147483648u
                       : static_cast<std::uint32_t>(gen() % 60);
      pos.push_back(static_cast<std::int32_t>(p));
    }
    const std::uint32_t reach =
        round % 5 == 0 ? 4294967000u : static_cast<std::uint32_t>(gen() % 300);
    const long start = static_cast<long>(gen() % n);
    // Series of a few rows to many, in every other round.
    std::vector<long> starts;
    std::vector<long> seriesof(n, 0);
    for (long r = 0; r < n && round % 2; ++r) {
      if (r == 0 || gen() % (1 + round % 50) == 0)
        starts.push_back(r);
      seriesof[r] = static_cast<long>(starts.size());
    }
    windowwalk walk = walkwindows(
        {pos.data(), n, starts.data(), static_cast<long>(starts.size())},
        reach, start);
    for (long i = start; i < n; ++i) {
      const auto here = static_cast<std::uint32_t>(pos[i]);
      long first = i;
      while (first > 0 && seriesof[first - 1] == seriesof[i] &&
             here - static_cast<std::uint32_t>(pos[first - 1]) <= reach)
        --first;
      long last = i;
      while (last + 1 < n && seriesof[last + 1] == seriesof[i] &&
             static_cast<std::uint32_t>(pos[last + 1]) - here <= reach)
        ++last;
      long gotfirst, gotlast;
      windowof(&walk, i, &gotfirst, &gotlast);
      ASSERT_EQ(gotfirst, first) << "round " << round << " row " << i;
      ASSERT_EQ(gotlast, last) << "round " << round << " row " << i;
    }
  }
}

}  // namespace
