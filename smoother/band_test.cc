// The band's text ring, going round many times.
#include "smoother/band.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>

namespace {

// Rows of random lengths are kept and dropped a chunk at a time, the
// ring never holding more than the plan allows: every row's text reads
// back as it was put, wherever the ring put it.
TEST(BandText, GoesRoundAndKeepsEveryRow) {
  std::mt19937_64 gen(5);
  constexpr long rows = 2000;
  table tab;
  tab.nrows = rows;
  tab.longest = 300;
  tab.blocks = allocate<blockfacts>(rows / blockrows + 1, true);
  std::vector<std::string> texts;
  for (long r = 0; r < rows; ++r) {
    texts.emplace_back(gen() % 300, static_cast<char>('a' + r % 26));
    tab.blocks[r / blockrows].bytes += texts.back().size() + 1;
  }
  plan pl;
  options opt;
  opt.smoothfunc = 0;
  ASSERT_TRUE(makeplan(tab, shapeof(opt), 1, &pl));
  pl.ahead = 2;  // three chunks in the band at once
  band b;
  long widest;
  ASSERT_TRUE(bandreserve(&b, pl, tab, &widest));
  long wrapped = 0;
  long next = 0;
  for (long w = 0; w < pl.nchunks; ++w) {
    for (; next < rowsneeded(pl, w); ++next) {
      char* room = bandroom(&b);
      wrapped += room == b.bytes.get() && next > 0;
      std::memcpy(room, texts[next].data(), texts[next].size());
      room[texts[next].size()] = '\t';
      bandkeep(&b, next, texts[next].size() + 1);
    }
    const long first = w * pl.chunkrows;
    const long end = std::min(rows, first + pl.chunkrows);
    for (long i = first; i < next; ++i)
      ASSERT_EQ(bandtext(b, i), texts[i] + "\t") << "row " << i;
    banddrop(&b, end - first, end);
  }
  EXPECT_GT(wrapped, 10);
}

}  // namespace
