// Microbenchmarks of the hot paths: number reading and printing, walking
// fields, and smoothing through the band: the heavy workload's table with
// each window shape, and windows of every row.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include "smoother/input.h"
#include "smoother/lines.h"
#include "smoother/numbers.h"
#include "smoother/reader.h"
#include "smoother/smoothing.h"
#include "smoother/table.h"
#include "smoother/writer.h"

static std::vector<std::string> logratios(int n) {
  std::mt19937_64 gen(1);
  std::normal_distribution<double> noise(0.0, 0.25);
  std::vector<std::string> texts;
  char text[32];
  for (int i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "%.4f", noise(gen));
    texts.push_back(text);
  }
  return texts;
}

static void BM_ReadNumber(benchmark::State& state) {
  auto texts = logratios(4096);
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(readnumber(texts[i++ & 4095]));
}
BENCHMARK(BM_ReadNumber);

static void BM_ReadInt(benchmark::State& state) {
  std::size_t i = 0;
  const std::string texts[] = {"0", "1000", "123000", "245000000"};
  for (auto _ : state)
    benchmark::DoNotOptimize(readint(texts[i++ & 3]));
}
BENCHMARK(BM_ReadInt);

// Typical smoothed values, which the printer decides without the exact
// 17-digit route.
static void BM_FormatValue(benchmark::State& state) {
  std::mt19937_64 gen(2);
  std::normal_distribution<double> noise(0.0, 0.25);
  std::vector<double> values(4096);
  for (double& v : values)
    v = noise(gen);
  char out[maxformatted];
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(formatvalue(values[i++ & 4095], out));
}
BENCHMARK(BM_FormatValue);

// Values on a tie at the sixth decimal, which take the exact route.
static void BM_FormatValueTie(benchmark::State& state) {
  std::vector<double> values(4096);
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = (static_cast<double>(i) + 0.5) / 1e5;
  char out[maxformatted];
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(formatvalue(values[i++ & 4095], out));
}
BENCHMARK(BM_FormatValueTie);

static void BM_WalkFields(benchmark::State& state) {
  std::string line = "C00001\t1\t0\tRP11-0k0";
  for (const std::string& v : logratios(128))
    line += "\t" + v;
  for (auto _ : state) {
    fieldwalk walk = walkfields(line);
    std::string_view field;
    while (nextfield(&walk, &field))
      benchmark::DoNotOptimize(field);
  }
  state.SetBytesProcessed(state.iterations() * line.size());
}
BENCHMARK(BM_WalkFields);

// Reading the values of the tall workload's lines: 16 data columns
// without error columns, one value in twenty missing.
static void BM_ReadValues(benchmark::State& state) {
  constexpr int ncols = 16;
  layout lay;
  lay.role = allocate<fieldrole>(4 + ncols);
  lay.errindex = allocate<int>(ncols);
  for (int k = 0; k < ncols; ++k) {
    lay.role[4 + k] = {fieldkind::data, true, k};
    lay.errindex[k] = -1;
  }
  lay.nLR = ncols;
  lay.nroles = lay.firststray = 4 + ncols;
  std::mt19937_64 gen(4);
  const auto texts = logratios(4096);
  std::vector<std::string> lines(256);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    lines[i] = "C0000001\t1\t500\tRP11-1k1";
    for (int k = 0; k < ncols; ++k)
      lines[i] += "\t" + (gen() % 20 == 0 ? std::string("NA")
                                           : texts[gen() % texts.size()]);
    lines[i] += "\t\n\n\n\n\n\n\n\n";  // the tab and eight bytes after it
  }
  double values[ncols];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ & 255];
    readvalues(lay, true, {line.data(), line.size() - 9}, values, nullptr);
    benchmark::DoNotOptimize(values);
  }
  state.SetItemsProcessed(state.iterations() * ncols);
}
BENCHMARK(BM_ReadValues);

// Printing the copy of the light workload's lines from their text: 64
// data columns, each with an error column.
static void BM_PrintCopies(benchmark::State& state) {
  constexpr int ncols = 64;
  layout lay;
  lay.role = allocate<fieldrole>(4 + 2 * ncols);
  lay.errindex = allocate<int>(ncols);
  for (int k = 0; k < ncols; ++k) {
    lay.role[4 + 2 * k] = {fieldkind::data, false, k};
    lay.role[5 + 2 * k] = {fieldkind::error, true, k};
    lay.errindex[k] = k;
  }
  lay.nLR = lay.nerr = ncols;
  lay.nroles = lay.firststray = 4 + 2 * ncols;
  options opt;
  opt.outopt = 2;
  textout nowhere;
  textoutopen(&nowhere, open("/dev/null", O_WRONLY));
  const diag dg{"microbench", &nowhere};
  writer wr;
  if (!writerstart(&wr, dg, opt, lay, &nowhere, 4096))
    std::abort();
  wr.copies = true;
  std::mt19937_64 gen(5);
  const auto texts = logratios(4096);
  std::vector<std::string> lines(256);
  char error[16];
  for (std::string& line : lines) {
    line = "C00001\t1\t1000\tRP11-1k1";
    for (int k = 0; k < ncols; ++k) {
      std::snprintf(error, sizeof error, "%.4f",
                    0.05 + static_cast<double>(gen() % 600) / 1e4);
      line += "\t" + texts[gen() % texts.size()] + "\t" + error;
    }
    line += "\t\n\n\n\n\n\n\n\n";  // the tab and eight bytes after it
  }
  std::vector<char> room(1 << 14);
  long nfields;
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ & 255];
    benchmark::DoNotOptimize(printrow(wr, 0, {line.data(), line.size() - 9},
                                      nullptr, nullptr, room.data(),
                                      room.data() + room.size(), &nfields));
  }
  state.SetItemsProcessed(state.iterations() * ncols);
}
BENCHMARK(BM_PrintCopies);

// The heavy smoothing workload as pass 1 leaves it: 50,000 rows 1,000
// apart along 22 chromosomes (or, with onechromosome, 10 apart along
// one), 64 data columns each with an error column, and its copy.
struct heavy {
  table tab;
  int copyfd = -1;
  textout nowhere;

  void write(const chunkdone& c, const band&) {
    benchmark::DoNotOptimize(c.LRout);
  }
  bool gone() const { return false; }
};

static heavy* heavytable(bool onechromosome) {
  static heavy h[2];
  heavy& t = h[onechromosome];
  if (t.copyfd >= 0)
    return &t;
  constexpr long n = 50000;
  constexpr int ncols = 64;
  std::mt19937_64 gen(3);
  std::normal_distribution<double> noise(0.0, 0.25);
  const long per = onechromosome ? n : (n + 21) / 22;
  std::string text = "id\tchr\tpos\tx";
  for (int k = 0; k < ncols; ++k)
    text += "\tS\tS_error";
  text += "\n";
  char field[64];
  for (long r = 0; r < n; ++r) {
    std::snprintf(field, sizeof field, "r\t%ld\t%ld\tx", r / per,
                  (r % per) * (onechromosome ? 10 : 1000));
    text += field;
    for (int k = 0; k < ncols; ++k) {
      std::snprintf(field, sizeof field, "\t%.4f\t%.4f", noise(gen),
                    0.05 + static_cast<double>(gen() % 600) / 1e4);
      text += field;
    }
    text += "\n";
  }
  char inname[] = "/tmp/microbench.XXXXXX";
  char copyname[] = "/tmp/microbench.XXXXXX";
  auto in = std::make_unique<input>();
  in->fd = mkstemp(inname);
  t.copyfd = mkstemp(copyname);
  unlink(inname);
  unlink(copyname);
  if (write(in->fd, text.data(), text.size()) !=
      static_cast<ssize_t>(text.size()))
    std::abort();
  lseek(in->fd, 0, SEEK_SET);
  auto copy = std::make_unique<textout>();
  textoutopen(copy.get(), t.copyfd);
  textoutopen(&t.nowhere, open("/dev/null", O_WRONLY));
  const diag dg{"microbench", &t.nowhere};
  outwatch watch;
  if (readtable(dg, options(), in.get(), copy.get(), &t.tab, &watch) < 0)
    std::abort();
  textflush(copy.get());
  return &t;
}

// Reads the heavy table's copy back and smooths it as pass 2 does.
static void smoothheavy(heavy* t, const options& opt) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const diag dg{"microbench", &t->nowhere};
  writer wr;
  smoothing sm;
  long widest;
  if (!writerstart(&wr, dg, opt, t->tab.lay, &t->nowhere, t->tab.longest) ||
      smoothingstart(&sm, t->tab, opt, cores > 0 ? cores : 1, widestunit(),
                     nullptr, t->copyfd, wr, &widest) != shortage::none ||
      drive(&sm, t) < 0)
    std::abort();
}

// Each window shape on the heavy table, winsize 250000: some 500 to 1500
// rows a window.
static void BM_Smoothing(benchmark::State& state) {
  options opt;
  opt.smoothfunc = static_cast<int>(state.range(0));
  opt.outopt = 2;
  opt.winsize = 250000;
  heavy* t = heavytable(false);
  for (auto _ : state)
    smoothheavy(t, opt);
}
BENCHMARK(BM_Smoothing)->DenseRange(1, 5)->Iterations(3)->Unit(
    benchmark::kSecond);

// A boxcar over every row of a table in one series: 2.5e9 row pairs,
// the values of every window far beyond the cache.
static void BM_SmoothingWholeTable(benchmark::State& state) {
  options opt;
  opt.smoothfunc = 1;
  opt.outopt = 2;
  opt.winsize = 1000000;
  heavy* t = heavytable(true);
  for (auto _ : state)
    smoothheavy(t, opt);
}
BENCHMARK(BM_SmoothingWholeTable)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
