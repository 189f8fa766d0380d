// Microbenchmarks of the hot paths: number reading and printing, walking
// fields, and smoothing through the band: the heavy workload's table with
// each window shape, and windows of every row.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "smoother/lines.h"
#include "smoother/numbers.h"
#include "smoother/smoothing.h"

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

// The values of the heavy smoothing workload: 50,000 rows 1,000 apart
// along 22 chromosomes (or, with onechromosome, 10 apart along one), 64
// data columns each with an error column.
struct heavy {
  std::vector<double> values;
  std::vector<double> errors;
  table tab;

  // Hands the smoothing the values as it asks for them.
  bool read(long j, band* b) {
    const int ncols = tab.lay.nLR;
    std::copy_n(&values[j * ncols], ncols, bandvalues(*b, j));
    std::copy_n(&errors[j * ncols], ncols, banderrors(*b, j));
    return true;
  }
  void write(const chunkdone& c, const band&) {
    benchmark::DoNotOptimize(c.LRout);
  }
  bool gone() const { return false; }
};

static heavy* heavytable(bool onechromosome) {
  static heavy h[2];
  heavy& t = h[onechromosome];
  if (t.tab.nrows > 0)
    return &t;
  constexpr long n = 50000;
  constexpr int ncols = 64;
  std::mt19937_64 gen(3);
  std::normal_distribution<double> noise(0.0, 0.25);
  const long per = onechromosome ? n : (n + 21) / 22;
  t.tab.pos = allocate<std::int32_t>(n);
  for (long r = 0; r < n; ++r)
    t.tab.pos[r] =
        static_cast<std::int32_t>((r % per) * (onechromosome ? 10 : 1000));
  for (long r = 0; r < n * ncols; ++r) {
    t.values.push_back(noise(gen));
    t.errors.push_back(0.05 + static_cast<double>(gen() % 600) / 1e4);
  }
  t.tab.lay.errindex = allocate<int>(ncols);
  for (int k = 0; k < ncols; ++k)
    t.tab.lay.errindex[k] = k;
  const long nblocks = (n + blockrows - 1) / blockrows;
  t.tab.blocks = allocate<blockfacts>(nblocks);
  std::fill_n(t.tab.blocks.get(), nblocks, blockfacts{blockrows, 2});
  t.tab.header = true;
  t.tab.nrows = n;
  t.tab.lay.nLR = ncols;
  t.tab.lay.nerr = ncols;
  return &t;
}

// Smooths the heavy table as pass 2 does, its values already parsed.
static void smoothheavy(heavy* t, const options& opt) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  smoothing sm;
  long widest;
  if (smoothingstart(&sm, t->tab, opt, cores > 0 ? cores : 1, widestunit(),
                     nullptr, &widest) != shortage::none)
    std::abort();
  drive(&sm, t);
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
