#include "smoother/smoothing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "smoother/input.h"
#include "smoother/pass2.h"
#include "smoother/reader.h"
#include "smoother/windows.h"

namespace {

std::mt19937_64 gen(42);

int below(int limit) { return static_cast<int>(gen() % limit); }

// A table of data columns, some with an error column; a missing value is
// not-a-number.
struct columns {
  std::vector<std::int32_t> pos;
  std::vector<long> series;  // each row's series, where windows stop
  std::vector<std::vector<double>> LR;
  std::vector<std::vector<double>> dLR;  // empty without an error column
};

// The plain evaluation, a column at a time: each row's window scanned
// afresh, backward from the row before it and forward from itself, each
// scan ending at the first row whose unsigned 32-bit distance passes the
// reach; the terms summed in that order, missing rows left out. (Each
// weight is found once for all columns, which changes no sum.)
std::vector<std::vector<double>> plainevaluation(const options& opt,
                                                 const columns& t) {
  const shape sh = shapeof(opt);
  const auto n = static_cast<long>(t.pos.size());
  const auto ncols = t.LR.size();
  std::vector<std::vector<double>> out(2 * ncols, std::vector<double>(n, 7.0));
  for (long i = 0; i < n; ++i) {
    std::vector<double> W(ncols), S(ncols), V(ncols);
    auto take = [&](long j, std::uint32_t d) {
      const double w = weightof(sh, d);
      for (std::size_t k = 0; k < ncols; ++k) {
        if (std::isnan(t.LR[k][j]))
          continue;
        W[k] += w;
        S[k] += w * t.LR[k][j];
        V[k] += t.dLR[k].empty() ? w * opt.stddev * opt.stddev
                                 : w * w * t.dLR[k][j] * t.dLR[k][j];
      }
    };
    const auto here = static_cast<std::uint32_t>(t.pos[i]);
    for (long j = i - 1; j >= 0 && t.series[j] == t.series[i] &&
                         here - static_cast<std::uint32_t>(t.pos[j]) <= sh.reach;
         --j)
      take(j, here - static_cast<std::uint32_t>(t.pos[j]));
    for (long j = i; j < n && t.series[j] == t.series[i] &&
                     static_cast<std::uint32_t>(t.pos[j]) - here <= sh.reach;
         ++j)
      take(j, static_cast<std::uint32_t>(t.pos[j]) - here);
    for (std::size_t k = 0; k < ncols; ++k) {
      out[2 * k][i] = S[k] / W[k];
      if (opt.outopt == 2)
        out[2 * k + 1][i] = std::sqrt(V[k]) / W[k];
    }
  }
  return out;
}

// A random table: positions that climb, repeat and drop (about one row in
// drops), spread so widely that a window meets thousands of distinct
// distances, or, with a grid, climb by that step where they do not drop,
// or by twice or three times it in runs of 97 rows;
// values of many magnitudes, gaps in ten of them missing, the errors of
// missing ones often infinite or not-a-number; error columns on about half
// the data columns.
columns randomcolumns(long n, int ncols, int gaps, int drops,
                      long serieslength = 0, int grid = 0) {
  columns t;
  // Series of about serieslength rows, if any: their edges fall inside
  // chunks, at chunks' edges and at the band's.
  for (long r = 0, s = 0; r < n; ++r) {
    // A chunk is whole blocks: edges at blocks' edges fall at chunks'.
    if (serieslength > 0 && r > 0 &&
        ((r % blockrows == 0 && below(3) == 0) ||
         gen() % serieslength == 0))
      ++s;
    t.series.push_back(s);
  }
  for (long r = 0, p = 0; r < n; ++r) {
    const int step = below(drops);
    const long gridstep = grid * (1 + r / 97 % 3);
    p += step == 0   ? -below(3000)
         : grid      ? gridstep
         : step == 1 ? 0
                     : below(200);
    t.pos.push_back(static_cast<std::int32_t>(p));
  }
  const double odd[] = {HUGE_VAL, std::nan(""), 1e300};
  for (int k = 0; k < ncols; ++k) {
    t.LR.emplace_back(n);
    t.dLR.emplace_back(below(2) ? n : 0);
    for (long r = 0; r < n; ++r) {
      const bool missing = below(10) < gaps;
      t.LR[k][r] = missing ? std::nan("")
                           : std::ldexp(below(2000001) - 1e6, -below(30));
      if (!t.dLR[k].empty())
        t.dLR[k][r] = missing && below(2) ? odd[below(3)]
                                          : below(100000) / 7e5;
    }
  }
  return t;
}

// t as an input table: field 1 its series, each value printed with the
// 17 digits that read back to its bits, and a missing one as NA.
std::string textof(const columns& t) {
  std::string text = "id\tchr\tpos\tx";
  for (std::size_t k = 0; k < t.LR.size(); ++k)
    text += t.dLR[k].empty() ? "\tA" : "\tA\tA_error";
  text += "\n";
  char field[40];
  for (std::size_t r = 0; r < t.pos.size(); ++r) {
    std::snprintf(field, sizeof field, "r\t%ld\t%d\tx", t.series[r],
                  t.pos[r]);
    text += field;
    for (std::size_t k = 0; k < t.LR.size(); ++k) {
      const double v = t.LR[k][r];
      if (v != v)
        std::snprintf(field, sizeof field, "\tNA");
      else
        std::snprintf(field, sizeof field, "\t%.17g", v);
      text += field;
      // A missing value's error is missing too, whatever it reads.
      if (!t.dLR[k].empty())
        std::snprintf(field, sizeof field, "\t%.17g",
                      v == v ? t.dLR[k][r] : 1.0);
      if (!t.dLR[k].empty())
        text += field;
    }
    text += "\n";
  }
  return text;
}

// A file of its own, gone once closed.
int scratchfile() {
  char name[] = "/tmp/smoothing_test.XXXXXX";
  const int fd = mkstemp(name);
  unlink(name);
  return fd;
}

// Keeps each column's means and errors as the smoothing gives them.
struct valuerows {
  const options& opt;
  std::vector<std::vector<double>> got;

  void write(const chunkdone& c, const band& b) {
    for (long i = c.first; i < c.end; ++i)
      for (int k = 0; k < b.ncols; ++k) {
        got[2 * k][i] = c.LRout[(i - c.first) * b.ncols + k];
        if (opt.outopt == 2)
          got[2 * k + 1][i] = c.dLRout[(i - c.first) * b.ncols + k];
      }
  }

  bool gone() const { return false; }
};

// t as pass 1 leaves it: its table and the copy of its lines.
struct prepared {
  table tab;
  int copyfd;
  int nowhere;
  std::unique_ptr<textout> err;

  prepared(const options& opt, const columns& t) : prepared(opt, textof(t)) {}
  prepared(const options& opt, const std::string& text)
      : copyfd(scratchfile()),
        nowhere(open("/dev/null", O_WRONLY)),
        err(std::make_unique<textout>()) {
    auto in = std::make_unique<input>();
    in->fd = scratchfile();
    EXPECT_EQ(write(in->fd, text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
    lseek(in->fd, 0, SEEK_SET);
    auto copy = std::make_unique<textout>();
    textoutopen(copy.get(), copyfd);
    textoutopen(err.get(), nowhere);
    outwatch watch;
    EXPECT_EQ(readtable({"test", err.get()}, opt, in.get(), copy.get(), &tab,
                        &watch),
              0);
    textflush(copy.get());
    close(in->fd);
  }
  ~prepared() {
    close(copyfd);
    close(nowhere);
  }
};

// Smooths the table as a run does, the smoothing reading the copy back a
// chunk at a time and ending with status, and returns each column's means
// and errors.
std::vector<std::vector<double>> smoothbychunks(const options& opt,
                                                const prepared& p,
                                                int nthreads,
                                                vectorunit unit,
                                                std::size_t budget,
                                                int status = 0) {
  writer wr;
  const diag dg{"test", p.err.get()};
  EXPECT_TRUE(writerstart(&wr, dg, opt, p.tab.lay, p.err.get(),
                          p.tab.longest));
  valuerows rows{opt, std::vector<std::vector<double>>(
                          2 * p.tab.lay.nLR,
                          std::vector<double>(p.tab.nrows, 7.0))};
  smoothing sm;
  long widest;
  EXPECT_EQ(smoothingstart(&sm, p.tab, opt, nthreads, unit, nullptr,
                           p.copyfd, wr, &widest, budget),
            shortage::none);
  EXPECT_EQ(drive(&sm, &rows), status);
  return rows.got;
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

// The chunks give the plain evaluation's bits on 1, 2 and 7 threads and
// every vector unit the machine has, the band's text budget taking the two
// given by turns from one unit to the next.
void expectplainbits(const options& opt, const columns& t, std::size_t even,
                     std::size_t odd, const std::string& what) {
  const auto want = plainevaluation(opt, t);
  const prepared p(opt, t);
  for (int nthreads : {1, 2, 7})
    for (int unit = 0; unit <= static_cast<int>(widestunit()); ++unit) {
      const auto got = smoothbychunks(opt, p, nthreads,
                                      static_cast<vectorunit>(unit),
                                      unit % 2 ? odd : even);
      for (std::size_t c = 0; c < want.size(); ++c)
        ASSERT_TRUE(samebits(want[c], got[c]))
            << what << " threads " << nthreads << " unit " << unit
            << " output " << c;
    }
}

// Smoothing through the band, a chunk at a time, must print exactly what
// the plain evaluation prints, on any number of threads and every vector
// unit the machine has: every function and outopt; windows of one row,
// of a few, of several chunks, and of the whole table; winsize 0 and a
// reach read unsigned from -1; one data column, too few or too many for
// whole vectors of them, and many; a band that goes round its ring.
TEST(Smoothing, SameBitsAsPlainEvaluationOnAnyThreadsAndUnit) {
  const int widths[] = {1, 3, 8, 13, 32, 45, 70};
  int round = 0;
  for (int f = 1; f < nshapes; ++f)
    for (int outopt = 0; outopt <= 2; ++outopt)
      for (int winsize : {0, 1, -1, 3000, 30000}) {
        const long n = round % 3 == 2 ? 600 + below(600) : 1 + below(300);
        const int ncols = widths[round++ % 7];
        // Half the tables have no gaps, and half of those are smoothed
        // without missing values; the others have four or nine in ten.
        const int few = below(2) ? 4 : 9;
        const int gaps = below(2) * few;
        const columns t = randomcolumns(n, ncols, gaps, round % 2 ? 8 : 300,
                                        round % 4 == 3 ? 150 : 0,
                                        round % 3 == 0 ? 100 : 0);
        options opt;
        opt.smoothfunc = f;
        opt.outopt = outopt;
        opt.winsize = winsize;
        opt.missing = gaps > 0 || round % 2;
        opt.series = round % 4 == 3;
        // Now and then a stddev whose square is infinite, which a missing
        // row must not turn into not-a-number.
        opt.stddev = (below(2) ? -1.0 : 1.0) *
                     (round % 3 == 1 ? 1e200 : below(1000) / 999.0);
        ASSERT_NO_FATAL_FAILURE(expectplainbits(
            opt, t, textbudget, textbudget,
            "function " + std::to_string(f) + " outopt " +
                std::to_string(outopt) + " winsize " +
                std::to_string(winsize) + " rows " + std::to_string(n)));
      }
}

// Windows of a few hundred rows, in a band far shorter than the table,
// which goes round its ring many times, that stop at the edges of series,
// inside a chunk, at a chunk's edge and at the band's, give the plain
// evaluation's bits with every shape, on any number of threads and every
// vector unit; so do they where the band keeps the lines of only the
// chunks being printed, and reads the others for their values alone.
TEST(Smoothing, SeriesStopTheWindows) {
  for (int f = 1; f < nshapes; ++f) {
    const columns t = randomcolumns(3000, 5, 4, 100000, 600);
    options opt;
    opt.smoothfunc = f;
    opt.outopt = 2;
    opt.winsize = shapes[f].constantweight ? 60000 : 15000;
    opt.missing = 1;
    opt.series = 1;
    const std::size_t budget = f % 2 ? textbudget : 0;
    ASSERT_NO_FATAL_FAILURE(expectplainbits(opt, t, budget, textbudget - budget,
                                            "function " + std::to_string(f)));
  }
}

// A copy that pass 2 cannot read back whole stops the smoothing on every
// thread, each wherever it waits, and says so: the band keeping every
// line it reads or only those of the chunks being printed, the rest read
// for their values by whichever thread comes first.
TEST(Smoothing, ACopyCutShortStopsEveryThread) {
  const columns t = randomcolumns(4000, 3, 0, 100000, 0);
  options opt;
  opt.smoothfunc = 2;
  opt.winsize = 30000;
  for (const std::size_t budget : {textbudget, std::size_t{0}})
    for (const int nthreads : {2, 7})
      for (int cut = 1; cut < 20; cut += 2) {
        SCOPED_TRACE("budget " + std::to_string(budget) + " threads " +
                     std::to_string(nthreads) + " cut " + std::to_string(cut));
        const prepared p(opt, t);
        const auto size = lseek(p.copyfd, 0, SEEK_END);
        ASSERT_EQ(ftruncate(p.copyfd, size * cut / 20), 0);
        smoothbychunks(opt, p, nthreads, widestunit(), budget, -1);
      }
}

// A copy writes the same bytes on any number of threads: fields printed
// from their text, fields read for their values, missing values, and rows
// whose values need more room than usual, which pass 2 prints itself.
TEST(Copies, SameOutputOnAnyThreads) {
  std::string text = "id\tchr\tpos\tx\tA\tA_error\tB\tC\tC_error\n";
  char field[64];
  for (long r = 0; r < 5000; ++r) {
    text += "r\t1\t" + std::to_string(r * 10) + "\tx";
    for (int f = 0; f < 5; ++f) {
      const double v = (below(2000001) - 1e6) / 1e6;
      const int kind = below(40);
      if (kind == 0)
        std::snprintf(field, sizeof field, "\tNA");
      else if (kind == 1 || r % 50 < 3)
        std::snprintf(field, sizeof field, "\t-1e300");
      else if (kind < 8)
        std::snprintf(field, sizeof field, "\t%.17g", v);
      else
        std::snprintf(field, sizeof field, "\t%.4f", v);
      text += field;
    }
    text += "\n";
  }
  for (const int missing : {0, 1}) {
    options opt;
    opt.outopt = 2;
    opt.missing = missing;
    const prepared p(opt, text);
    std::string first;
    for (const int threads : {1, 2, 7}) {
      opt.threads = threads;
      const int fd = scratchfile();
      auto out = std::make_unique<textout>();
      textoutopen(out.get(), fd);
      outwatch watch;
      ASSERT_EQ(writetable({"test", p.err.get()}, opt, p.tab, p.copyfd,
                           out.get(), &watch),
                0);
      textflush(out.get());
      std::string got(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), ' ');
      ASSERT_EQ(pread(fd, got.data(), got.size(), 0),
                static_cast<ssize_t>(got.size()));
      close(fd);
      if (threads == 1)
        first = got;
      ASSERT_EQ(got.size(), first.size()) << threads;
      ASSERT_TRUE(got == first) << threads;
    }
    // The rows of huge values and of markers came out too.
    EXPECT_NE(first.find("-1000000000000000"), std::string::npos);
  }
}

}  // namespace
