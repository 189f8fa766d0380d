// Microbenchmarks of the hot paths: number reading and printing, field
// splitting, and the smoothing kernels on a table of the largest size.
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "smoother/numbers.h"
#include "smoother/lines.h"
#include "smoother/smoothers.h"

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

static void BM_SplitFields(benchmark::State& state) {
  std::string line = "C00001\t1\t0\tRP11-0k0";
  for (const std::string& v : logratios(128))
    line += "\t" + v;
  line += "\n";
  std::string_view fields[maxfields];
  for (auto _ : state)
    benchmark::DoNotOptimize(splitfields(line, fields));
  state.SetBytesProcessed(state.iterations() * line.size());
}
BENCHMARK(BM_SplitFields);

// The table of the heavy smoothing workload: 50,000 rows 1,000 apart along
// 22 chromosomes, 64 data columns each with an error column.
static table* heavytable() {
  static table tab;
  if (tab.nrows > 0)
    return &tab;
  std::mt19937_64 gen(3);
  std::normal_distribution<double> noise(0.0, 0.25);
  tab.nrows = maxrows;
  tab.nLR = maxcols;
  const int per = (maxrows + 21) / 22;
  for (int r = 0; r < maxrows; ++r)
    tab.pos[r] = (r % per) * 1000;
  for (int k = 0; k < maxcols; ++k) {
    tab.LR[k] = static_cast<double*>(std::malloc(maxrows * sizeof(double)));
    tab.dLR[k] = static_cast<double*>(std::malloc(maxrows * sizeof(double)));
    tab.LRout[k] = static_cast<double*>(std::malloc(maxrows * sizeof(double)));
    tab.dLRout[k] = static_cast<double*>(std::malloc(maxrows * sizeof(double)));
    for (int r = 0; r < maxrows; ++r) {
      tab.LR[k][r] = noise(gen);
      tab.dLR[k][r] = 0.05 + static_cast<double>(gen() % 600) / 1e4;
    }
  }
  return &tab;
}

static options heavyoptions(int smoothfunc) {
  options opt;
  opt.smoothfunc = smoothfunc;
  opt.outopt = 2;
  opt.winsize = 250000;
  return opt;
}

// The straightforward evaluation: one column at a time, each weight
// computed as its neighbour is taken.
static void BM_KernelPlain(benchmark::State& state) {
  table* tab = heavytable();
  options opt = heavyoptions(static_cast<int>(state.range(0)));
  for (auto _ : state)
    for (int k = 0; k < tab->nLR; ++k)
      smoothcolumn(opt, tab->pos, tab->LR[k], tab->dLR[k],
                   tab->LRout[k], tab->dLRout[k], tab->nrows);
}
BENCHMARK(BM_KernelPlain)->DenseRange(1, 5)->Iterations(1)->Unit(
    benchmark::kSecond);

// All columns at once, with the same bits.
static void BM_KernelTable(benchmark::State& state) {
  table* tab = heavytable();
  options opt = heavyoptions(static_cast<int>(state.range(0)));
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  for (auto _ : state)
    smoothtable(opt, tab, cores > 0 ? cores : 1, widestunit());
}
BENCHMARK(BM_KernelTable)->DenseRange(1, 5)->Iterations(3)->Unit(
    benchmark::kSecond);

BENCHMARK_MAIN();
