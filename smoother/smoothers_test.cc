#include "smoother/smoothers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

using span = std::pair<int, int>;

// The [first, last] rows each row's window takes.
std::vector<span> windows(const std::vector<std::int32_t>& pos,
                          std::uint32_t reach) {
  std::vector<span> got;
  for (int i = 0; i < static_cast<int>(pos.size()); i++) {
    int first = -1;
    int last = -1;
    window(pos.data(), static_cast<int>(pos.size()), i, reach, &first, &last);
    got.emplace_back(first, last);
  }
  return got;
}

TEST(SmootherReach, EachFunction) {
  const std::uint32_t at200[5] = {100, 400, 170, 600, 400};
  for (int f = 1; f <= 5; f++) {
    EXPECT_EQ(at200[f - 1], reachof(f, 200)) << "smoothfunc " << f;
    EXPECT_EQ(0u, reachof(f, 0)) << "smoothfunc " << f;
  }
  // The boxcar halves, rounding down.
  EXPECT_EQ(0u, reachof(1, 1));
  EXPECT_EQ(1u, reachof(1, 2));
  EXPECT_EQ(1u, reachof(1, 3));
}

TEST(SmootherReach, WinsizeReadUnsignedAndMultiplesWrap) {
  EXPECT_EQ(2147483647u, reachof(1, -1));
  EXPECT_EQ(4294967294u, reachof(2, -1));
  // 4294967295 (2 + sqrt 2) / 4 = 3665983897.13...
  EXPECT_EQ(3665983897u, reachof(3, -1));
  EXPECT_EQ(4294967293u, reachof(4, -1));
  EXPECT_EQ(4294967294u, reachof(5, -1));
  // 3 x 1431655766 = 2^32 + 2 and 2 x 2147483647 = 2^32 - 2.
  EXPECT_EQ(2u, reachof(4, 1431655766));
  EXPECT_EQ(4294967294u, reachof(2, 2147483647));
}

TEST(SmootherWeight, OneAtDistanceZero) {
  for (int f = 1; f <= 5; f++)
    EXPECT_EQ(1.0, weightof(f, 0, 200)) << "smoothfunc " << f;
}

TEST(SmootherWeight, AtTheReach) {
  EXPECT_EQ(1.0, weightof(1, 100, 200));
  EXPECT_NEAR(4.8e-7, weightof(2, 400, 200), 0.05e-7);
  // 1 - 0.85 x 1.1715728752538097, and nothing one step further.
  EXPECT_NEAR(0.0041630560, weightof(3, 170, 200), 1e-10);
  EXPECT_EQ(0.0, weightof(3, 171, 200));
  EXPECT_EQ(1.0 / 145.0, weightof(4, 600, 200));
  EXPECT_NEAR(1.0 / 256.0, weightof(5, 400, 200), 1e-17);
}

TEST(SmootherWeight, WinsizeZero) {
  EXPECT_EQ(1.0, weightof(1, 0, 0));
  EXPECT_TRUE(std::isnan(weightof(2, 0, 0)));
  EXPECT_EQ(0.0, weightof(3, 0, 0));  // a NaN t is not <= 1
  EXPECT_TRUE(std::isnan(weightof(4, 0, 0)));
  EXPECT_TRUE(std::isnan(weightof(5, 0, 0)));
}

TEST(SmootherWindow, WrongSideOfPositionStopsScan) {
  // Row 2 at 50 stops row 0's forward scan; row 1 at 200 stops row 2's
  // backward scan at once; 150 - 50 = 100 is within reach.
  EXPECT_EQ((std::vector<span>{{0, 1}, {0, 1}, {2, 3}, {2, 3}}),
            windows({100, 200, 50, 150}, 100));
}

TEST(SmootherWindow, ExactlyAtReachIsTaken) {
  EXPECT_EQ((std::vector<span>{{0, 1}, {0, 2}, {1, 2}}),
            windows({0, 100, 200}, 100));
  EXPECT_EQ((std::vector<span>{{0, 1}, {0, 1}, {2, 2}}),
            windows({0, 100, 201}, 100));
}

TEST(SmootherWindow, RepeatedPositionsWithReachZero) {
  EXPECT_EQ((std::vector<span>{{0, 1}, {0, 1}, {2, 2}, {3, 4}, {3, 4}}),
            windows({10, 10, 20, 10, 10}, reachof(1, 1)));
}

TEST(SmootherWindow, ReachOne) {
  EXPECT_EQ((std::vector<span>{{0, 1}, {0, 3}, {1, 2}, {3, 3}}),
            windows({10, 11, 12, 11}, reachof(1, 3)));
}

TEST(SmootherWindow, ReachesBackAcrossDrop) {
  EXPECT_EQ((std::vector<span>{{0, 1}, {0, 1}, {2, 3}, {0, 3}}),
            windows({10, 20, 5, 30}, 30));
}

TEST(SmootherWindow, NegativeWinsizeTakesWrongSideOnlyForLongReaches) {
  const std::vector<std::int32_t> pos{100, 50, 200};
  // 50 - 100 reads as 4294967246: beyond the boxcar's and the triangle's
  // reach, within the Gaussian's, Lorentzian's and exponential's. Row 2's
  // backward scan meets only rows below 200, so every reach takes them.
  const std::vector<span> stopped{{0, 0}, {1, 2}, {0, 2}};
  const std::vector<span> taken{{0, 2}, {0, 2}, {0, 2}};
  EXPECT_EQ(stopped, windows(pos, reachof(1, -1)));
  EXPECT_EQ(taken, windows(pos, reachof(2, -1)));
  EXPECT_EQ(stopped, windows(pos, reachof(3, -1)));
  EXPECT_EQ(taken, windows(pos, reachof(4, -1)));
  EXPECT_EQ(taken, windows(pos, reachof(5, -1)));
}

TEST(SmootherWindow, DistanceWrapsAcrossInt32Range) {
  // INT32_MIN - INT32_MAX wraps to 1; INT32_MAX - INT32_MIN to 2^32 - 1.
  EXPECT_EQ((std::vector<span>{{0, 1}, {0, 1}}),
            windows({2147483647, -2147483647 - 1}, 1));
  EXPECT_EQ((std::vector<span>{{0, 0}, {1, 1}}),
            windows({-2147483647 - 1, 2147483647}, 4294967294u));
}

TEST(SmootherWindow, OneRow) {
  EXPECT_EQ((std::vector<span>{{0, 0}}), windows({-7}, 0));
  EXPECT_EQ((std::vector<span>{{0, 0}}), windows({-7}, 4294967295u));
}

options outopt2(int winsize) {
  options opt;
  opt.outopt = 2;
  opt.winsize = winsize;
  return opt;
}

TEST(SmootherColumn, SumsBackwardTermsFirst) {
  // At 1e16 the spacing of doubles is 2, so 1 + 1e16 rounds back to 1e16.
  // Row 3 sums rows 2, 1, 0 then 3: (-1e16 + 1e16) + 1 + 0 = 1; row 2 sums
  // rows 1, 0, 2, 3: 1e16 + 1 loses the 1. Summing rows in index order, or
  // the forward scan first, gives a different row 2 or row 3.
  const std::int32_t pos[4] = {0, 0, 0, 0};
  const double LR[4] = {1.0, 1e16, -1e16, 0.0};
  const double mean[4] = {0.0, 0.0, 0.0, 0.25};
  double LRout[4];
  double dLRout[4];
  smoothcolumn(1, outopt2(1), pos, LR, nullptr, LRout, dLRout, 4);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(mean[i], LRout[i]) << "row " << i;
}

TEST(SmootherColumn, ErrorsOnlyWithOutopt2) {
  const std::int32_t pos[3] = {0, 100, 200};
  const double LR[3] = {0.5, 1.5, 1.0};
  const double dLR[3] = {0.1, 0.1, 0.1};
  for (int outopt = 0; outopt <= 1; outopt++) {
    options opt = outopt2(200);
    opt.outopt = outopt;
    double LRout[3];
    double dLRout[3] = {-9, -9, -9};
    smoothcolumn(1, opt, pos, LR, dLR, LRout, dLRout, 3);
    EXPECT_EQ(1.0, LRout[0]);
    for (int i = 0; i < 3; i++)
      EXPECT_EQ(-9, dLRout[i]) << "outopt " << outopt << " row " << i;
  }
}

TEST(SmootherColumn, WinsizeZero) {
  const std::int32_t pos[3] = {10, 10, 11};
  const double LR[3] = {0.5, 1.5, 3.0};
  double LRout[3];
  double dLRout[3];
  smoothcolumn(1, outopt2(0), pos, LR, nullptr, LRout, dLRout, 3);
  EXPECT_EQ(1.0, LRout[0]);
  EXPECT_EQ(1.0, LRout[1]);
  EXPECT_EQ(3.0, LRout[2]);
  for (int f = 2; f <= 5; f++) {
    smoothcolumn(f, outopt2(0), pos, LR, nullptr, LRout, dLRout, 3);
    for (int i = 0; i < 3; i++) {
      EXPECT_TRUE(std::isnan(LRout[i])) << "smoothfunc " << f << " row " << i;
      EXPECT_TRUE(std::isnan(dLRout[i])) << "smoothfunc " << f << " row " << i;
    }
  }
}

}  // namespace
