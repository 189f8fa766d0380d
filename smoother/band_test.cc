// The band's text ring going round, read from a copy as pass 1 keeps it.
#include "smoother/band.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// Rows of random lengths, their lines in a copy with CR LF line ends (the
// last without one), are read a chunk at a time into rooms that go round
// the ring many times, never holding more than the plan allows: every
// row's text and value read back as they were, wherever the ring put them.
TEST(BandText, GoesRoundAndKeepsEveryRow) {
  std::mt19937_64 gen(5);
  constexpr long rows = 3000;
  table tab;
  tab.nrows = rows;
  tab.blocks = allocate<blockfacts>(rows / blockrows + 1, true);
  tab.lay.nLR = 1;
  tab.lay.nroles = 5;
  tab.lay.firststray = 5;
  tab.lay.role = allocate<fieldrole>(5, true);
  tab.lay.role[4] = {fieldkind::data, true, 0};
  tab.lay.errindex = allocate<int>(1);
  tab.lay.errindex[0] = -1;
  std::vector<std::string> texts;
  std::string copy;
  for (long r = 0; r < rows; ++r) {
    if (r % blockrows == 0)
      tab.blocks[r / blockrows].at = copy.size();
    texts.push_back("r\t" + std::string(gen() % 3000, 'x') + "\tp\tq\t" +
                    std::to_string(r) + (r % 7 ? "" : "\r"));
    copy += texts.back() + (r + 1 < rows ? "\r\n" : "");
    tab.blocks[r / blockrows].bytes += texts.back().size() + 1;
  }
  tab.copybytes = copy.size();
  char name[] = "/tmp/band_test.XXXXXX";
  const int fd = mkstemp(name);
  unlink(name);
  ASSERT_EQ(write(fd, copy.data(), copy.size()),
            static_cast<ssize_t>(copy.size()));
  plan pl;
  options opt;
  ASSERT_TRUE(makeplan(tab, shapeof(opt), 1, &pl));
  pl.ahead = 3;  // four chunks in the band at once
  band b;
  long widest;
  ASSERT_TRUE(bandreserve(&b, pl, tab, textbudget, &widest));
  const copysource src{fd, &tab.lay, false, rows};
  long admitted = 0;
  long wrapped = 0;
  for (long w = 0; w < pl.nchunks; ++w) {
    for (; admitted < chunksneeded(pl, w); ++admitted) {
      std::size_t size;
      const std::uint64_t at = chunkat(pl, tab, admitted, &size);
      bandadmit(&b, size);
      wrapped += b.rooms[admitted % b.nrooms].start == 0;
      const long first = admitted * pl.chunkrows;
      char* room = bandroom(b, admitted);
      ASSERT_TRUE(bandread(src, room, size, at));
      ASSERT_TRUE(bandlines(&b, src, first,
                            std::min(rows, first + pl.chunkrows), room, size,
                            true, true));
    }
    for (long i = w * pl.chunkrows; i < std::min(rows, admitted * pl.chunkrows);
         ++i) {
      ASSERT_EQ(bandtext(b, i), texts[i] + "\t") << "row " << i;
      // Eight bytes after the tab lie in the row's own room.
      const textspan& room = b.rooms[(i / pl.chunkrows) % b.nrooms];
      const std::string_view text = bandtext(b, i);
      ASSERT_LE(text.data() + text.size() + 8,
                b.bytes.get() + room.start + room.size);
      ASSERT_EQ(bandvalues(b, i)[0], static_cast<double>(i));
    }
    bandrelease(&b);
  }
  EXPECT_GT(wrapped, 10);
  // Windows that reach the table's end: with no budget for text, the band
  // keeps rooms only for the chunks printed at once, however far ahead it
  // reads values.
  for (long c = 0; c < pl.nchunks; ++c)
    pl.readyat[c] = rows;
  band far;
  ASSERT_TRUE(bandreserve(&far, pl, tab, 0, &widest));
  EXPECT_EQ(far.nslots, rows);
  EXPECT_EQ(far.nrooms, pl.ahead + 1);
  EXPECT_LE(far.cap, (pl.ahead + 2) * chunkroom(far) + 1);
  // A copy cut short, or with a line too many for the chunk, is not read
  // back.
  char room[64];
  EXPECT_FALSE(bandread(src, room, 10, copy.size() - 5));
  ASSERT_TRUE(bandread(src, room, 10, copy.size() - 10));
  EXPECT_FALSE(bandlines(&b, src, rows - 3, rows - 2, room, 10, false, true));
  close(fd);
}

}  // namespace
