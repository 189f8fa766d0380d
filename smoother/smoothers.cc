#include "smoother/smoothers.h"

#include <sched.h>

#include <barrier>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <thread>

// Every weight and sum below is written as the exact expression whose bits
// the program prints: evaluated in double, left to right, never contracted
// into fused multiply-adds (the build passes -ffp-contract=off). The fast
// kernel further down must reproduce the bits of smoothcolumn, which stays
// the plain reference.

namespace {

// The running sums of one row's window.
struct sums {
  double W = 0;  // weights
  double S = 0;  // weighted LR values
  double V = 0;  // squared error terms, only with outopt 2
};

}  // namespace

// The triangle's slope in units of x; its inverse is the triangle's reach
// per unit of winsize (about 0.8536), where its weight falls to 0.
static double triangleslope() { return 4.0 - 2.0 * std::sqrt(2.0); }

// The greatest distance a scan still takes, winsize read as unsigned.
static std::uint32_t reachof(int smoothfunc, int winsize) {
  const std::uint32_t uw = static_cast<std::uint32_t>(winsize);
  switch (smoothfunc) {
    case 1:
      return uw >> 1;
    case 2:
    case 5:
      return 2u * uw;
    case 3:
      // Below 4294967295 / 1.1716, so the cut always fits 32 bits.
      return static_cast<std::uint32_t>(static_cast<double>(uw) /
                                        triangleslope());
    case 4:
      return 3u * uw;
  }
  return 0;
}

// The weight of a neighbour at unsigned distance d.
static double weightof(int smoothfunc, std::uint32_t d, int winsize) {
  if (smoothfunc == 1)
    return 1.0;  // never divides, so winsize 0 still averages
  // Distance in units of winsize; winsize 0 makes it 0 / 0 at distance 0.
  const double x =
      static_cast<double>(d) /
      static_cast<double>(static_cast<std::uint32_t>(winsize));
  switch (smoothfunc) {
    case 2:
      return std::exp(-(1.9077 * x) * (1.9077 * x));
    case 3: {
      const double t = std::fabs(x * triangleslope());
      return t <= 1 ? 1 - t : 0;
    }
    case 4:
      return 1.0 / (1.0 + (4.0 * x) * (4.0 * x));
    case 5:
      return std::exp(-4.0 * std::log(2.0) * std::fabs(x));
  }
  return 0;
}

// Sets *first and *last to the rows that row i's window takes. Positions
// are compared as unsigned 32-bit differences from pos[i], so a row on the
// wrong side of pos[i] is a huge distance and ends its scan.
static void window(const std::int32_t* pos, int n, int i, std::uint32_t reach,
                   int* first, int* last) {
  const std::uint32_t here = static_cast<std::uint32_t>(pos[i]);
  int j = i - 1;
  while (j >= 0 && here - static_cast<std::uint32_t>(pos[j]) <= reach)
    j--;
  *first = j + 1;
  j = i;
  while (j < n && static_cast<std::uint32_t>(pos[j]) - here <= reach)
    j++;
  *last = j - 1;
}

// Adds row j, at weight w, to the sums of a row's window.
static void take(const options& opt, double w, const double* LR,
                 const double* dLR, int j, sums* acc) {
  acc->W += w;
  acc->S += w * LR[j];
  if (opt.outopt != 2)
    return;
  if (dLR != nullptr)
    acc->V += w * w * dLR[j] * dLR[j];
  else
    // One factor w, so that the error comes to |stddev| / sqrt(W).
    acc->V += w * opt.stddev * opt.stddev;
}

void smoothcolumn(const options& opt, const std::int32_t* pos,
                  const double* LR, const double* dLR, double* LRout,
                  double* dLRout, int n) {
  const int f = opt.smoothfunc;
  if (f < 1 || f > 5)
    return;
  const std::uint32_t reach = reachof(f, opt.winsize);
  for (int i = 0; i < n; i++) {
    int first;
    int last;
    window(pos, n, i, reach, &first, &last);
    const std::uint32_t here = static_cast<std::uint32_t>(pos[i]);
    sums acc;
    // The order of the terms fixes the printed bits: the backward scan's
    // rows nearest first, then the forward scan's from row i itself.
    for (int j = i - 1; j >= first; j--) {
      const std::uint32_t d = here - static_cast<std::uint32_t>(pos[j]);
      take(opt, weightof(f, d, opt.winsize), LR, dLR, j, &acc);
    }
    for (int j = i; j <= last; j++) {
      const std::uint32_t d = static_cast<std::uint32_t>(pos[j]) - here;
      take(opt, weightof(f, d, opt.winsize), LR, dLR, j, &acc);
    }
    LRout[i] = acc.S / acc.W;
    if (opt.outopt == 2)
      dLRout[i] = std::sqrt(acc.V) / acc.W;
  }
}

// The fast kernel. It takes each row's window and weights once for all
// columns, sums the columns side by side in vector lanes, and splits the
// rows among threads. Each column's sum is still one chain of additions in
// the order above, so neither the lanes nor the threads change a bit.

constexpr int maxthreads = 64;   // threads beyond this share no more work
constexpr int cacheslots = 4096;  // weights remembered per thread

// Below this many table cells (rows times data columns) starting a thread
// costs more than the rows it takes over save.
constexpr long minthreadcells = 20000;

namespace {

// One thread's scratch. A row's weights are kept, backward terms first, for
// every column's sums; the weight cache spares an exp for a distance met
// again (on a regular grid of positions, nearly every one), and since a
// weight is a pure function of its distance the bits are the same either
// way.
struct scratch {
  double weight[maxrows];  // a window holds at most every row
  double square[maxrows];  // weight squared: the factor of an error term
  std::uint32_t distance[cacheslots];
  double cached[cacheslots];
  bool used[cacheslots];
};

// What every thread reads in one call.
struct job {
  const options* opt;
  table* tab;
  int n;
  int ncols;
  int nerr;
  int witherr[maxcols];  // the columns that have an error column
  bool errors;           // outopt 2
  bool withstddev;       // some column's errors come from stddev
  std::uint32_t reach;
};

// Row i's window: its length each way, and the sums that are the same for
// every column.
struct rowwindow {
  int nback;
  int nfwd;
  double W;
  double Vstddev;  // the error sum of a column without an error column
};

}  // namespace

// The LR and dLR values row by row, so that the columns of one row lie side
// by side for the vector lanes. Static like the table store, so that this
// kernel never lacks memory.
static double values[static_cast<std::size_t>(maxrows) * maxcols];
static double errvalues[static_cast<std::size_t>(maxrows) * maxcols];
static scratch threadscratch[maxthreads];

static double cachedweight(scratch* s, int smoothfunc, std::uint32_t d,
                           int winsize) {
  std::uint32_t slot = (d * 2654435761u) >> 20;
  if (s->used[slot] && s->distance[slot] == d)
    return s->cached[slot];
  double w = weightof(smoothfunc, d, winsize);
  s->used[slot] = true;
  s->distance[slot] = d;
  s->cached[slot] = w;
  return w;
}

// Copies rows [from, to) of the LR and dLR columns into the row-major
// blocks.
static void gather(const job& jb, int from, int to) {
  const table* tab = jb.tab;
  for (int r = from; r < to; ++r) {
    double* row = values + static_cast<std::ptrdiff_t>(r) * jb.ncols;
    for (int k = 0; k < jb.ncols; ++k)
      row[k] = tab->LR[k][r];
    double* errrow = errvalues + static_cast<std::ptrdiff_t>(r) * jb.nerr;
    for (int e = 0; e < jb.nerr; ++e)
      errrow[e] = tab->dLR[jb.witherr[e]][r];
  }
}

// Records the t-th weight of a window and adds it to the sums every column
// shares.
static inline void takeweight(const job& jb, scratch* s, std::uint32_t d,
                              int t, rowwindow* win) {
  const options& opt = *jb.opt;
  const double w = cachedweight(s, opt.smoothfunc, d, opt.winsize);
  s->weight[t] = w;
  win->W += w;
  if (jb.errors)
    s->square[t] = w * w;
  if (jb.withstddev)
    win->Vstddev += w * opt.stddev * opt.stddev;
}

// Scans row i's window, backward then forward, and finds its weights on
// the way, in the order the sums take them.
static void findweights(const job& jb, int i, scratch* s, rowwindow* win) {
  const std::int32_t* pos = jb.tab->pos;
  const std::uint32_t here = static_cast<std::uint32_t>(pos[i]);
  *win = rowwindow{0, 0, 0, 0};
  int t = 0;
  for (int j = i - 1; j >= 0; --j) {
    const std::uint32_t d = here - static_cast<std::uint32_t>(pos[j]);
    if (d > jb.reach)
      break;
    takeweight(jb, s, d, t++, win);
  }
  win->nback = t;
  for (int j = i; j < jb.n; ++j) {
    const std::uint32_t d = static_cast<std::uint32_t>(pos[j]) - here;
    if (d > jb.reach)
      break;
    takeweight(jb, s, d, t++, win);
  }
  win->nfwd = t - win->nback;
}

// Eight doubles that are added and multiplied lane by lane, each lane
// exactly as a scalar double would be (no contraction into fused
// multiply-adds), so a lane's sum takes its terms in the same order and
// gives the same bits as the plain evaluation.
typedef double lanes __attribute__((vector_size(64)));
constexpr int nlanes = 8;

// The summing loop is built for the widest vector unit the machine has,
// chosen when the program starts; the portable build has only the generic
// one. Lane arithmetic is the same IEEE arithmetic on every unit, so all of
// them give the same bits.
#ifdef QUORVEL_PORTABLE
#define widestlanes
#else
#define widestlanes __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

// Adds the window's terms to the sums of nvec * nlanes columns from column
// c0 on: factor[t] * value, or factor[t] * value * value when squared, the
// terms in their fixed order (rows i-1 down to i-nback, then rows i up to
// i+nfwd-1). Several vectors keep several chains of additions in flight.
template <int nvec, bool squared>
static inline __attribute__((always_inline)) void
sumlanes(const double* block, std::ptrdiff_t stride, int c0, int i,
         int nback, int nfwd, const double* factor, double* sums) {
  lanes acc[nvec] = {};
  const double* row = block + (i - 1) * stride + c0;
  const double* f = factor;
  for (int t = 0; t < nback + nfwd; ++t, ++f) {
    if (t == nback)
      row = block + i * stride + c0;
    for (int v = 0; v < nvec; ++v) {
      lanes x;
      std::memcpy(&x, row + v * nlanes, sizeof x);
      acc[v] += squared ? *f * x * x : *f * x;
    }
    row += t < nback ? -stride : stride;
  }
  std::memcpy(sums + c0, acc, sizeof acc);
}

// Sets sums[c] for every column c of the row-major block (ncols per row)
// to the sum over row i's window of factor[t] * value (or factor[t] *
// value * value when squared).
template <bool squared>
widestlanes static void sumterms(const double* block, int ncols, int i,
                                 int nback, int nfwd, const double* factor,
                                 double* sums) {
  const std::ptrdiff_t stride = ncols;
  int c0 = 0;
  for (; c0 + 4 * nlanes <= ncols; c0 += 4 * nlanes)
    sumlanes<4, squared>(block, stride, c0, i, nback, nfwd, factor, sums);
  for (; c0 + nlanes <= ncols; c0 += nlanes)
    sumlanes<1, squared>(block, stride, c0, i, nback, nfwd, factor, sums);
  for (int c = c0; c < ncols; ++c) {
    double acc = 0;
    const double* f = factor;
    for (int t = 0; t < nback; ++t, ++f) {
      double x = block[(i - 1 - t) * stride + c];
      acc += squared ? *f * x * x : *f * x;
    }
    for (int t = 0; t < nfwd; ++t, ++f) {
      double x = block[(i + t) * stride + c];
      acc += squared ? *f * x * x : *f * x;
    }
    sums[c] = acc;
  }
}

// Sums row i's window in every column and stores its means and errors.
static void sumrow(const job& jb, int i, const scratch* s,
                   const rowwindow& win) {
  table* tab = jb.tab;
  double S[maxcols];
  sumterms<false>(values, jb.ncols, i, win.nback, win.nfwd, s->weight, S);
  for (int k = 0; k < jb.ncols; ++k)
    tab->LRout[k][i] = S[k] / win.W;
  if (!jb.errors)
    return;
  // w * w * dLR * dLR evaluates as ((w * w) * dLR) * dLR, so w * w can be
  // formed once per row.
  double V[maxcols];
  sumterms<true>(errvalues, jb.nerr, i, win.nback, win.nfwd, s->square, V);
  for (int k = 0, e = 0; k < jb.ncols; ++k) {
    const bool own = e < jb.nerr && jb.witherr[e] == k;
    tab->dLRout[k][i] = std::sqrt(own ? V[e++] : win.Vstddev) / win.W;
  }
}

// One thread's share: gathers its rows, waits until every thread has, then
// smooths its rows with its own scratch.
static void smoothrows(const job& jb, int from, int to, scratch* s,
                       std::barrier<>* gathered) {
  gather(jb, from, to);
  gathered->arrive_and_wait();
  // The weights depend on the function and winsize of this call.
  std::memset(s->used, 0, sizeof s->used);
  rowwindow win;
  for (int i = from; i < to; ++i) {
    findweights(jb, i, s, &win);
    sumrow(jb, i, s, win);
  }
}

void smoothtable(const options& opt, table* tab, int nthreads) {
  const int n = tab->nrows;
  if (n <= 0 || tab->nLR == 0 || opt.smoothfunc < 1 || opt.smoothfunc > 5)
    return;
  job jb;
  jb.opt = &opt;
  jb.tab = tab;
  jb.n = n;
  jb.ncols = tab->nLR;
  jb.errors = opt.outopt == 2;
  jb.nerr = 0;
  for (int k = 0; k < jb.ncols; ++k)
    if (jb.errors && tab->dLR[k])
      jb.witherr[jb.nerr++] = k;
  jb.withstddev = jb.errors && jb.nerr < jb.ncols;
  jb.reach = reachof(opt.smoothfunc, opt.winsize);

  if (nthreads > maxthreads)
    nthreads = maxthreads;
  if (nthreads > n)
    nthreads = n;
  if (nthreads < 1)
    nthreads = 1;
  std::barrier<> gathered(nthreads);
  std::thread threads[maxthreads];
  // Thread t takes rows [n t / nthreads, n (t + 1) / nthreads); the caller
  // takes the first share itself.
  for (int t = 1; t < nthreads; ++t)
    threads[t] = std::thread(smoothrows, std::cref(jb), n * t / nthreads,
                             n * (t + 1) / nthreads, &threadscratch[t],
                             &gathered);
  smoothrows(jb, 0, n / nthreads, &threadscratch[0], &gathered);
  for (int t = 1; t < nthreads; ++t)
    threads[t].join();
}

// The cores this process may run on, or 1 when that cannot be learnt.
static int usablecores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

void smoothtable(const options& opt, table* tab) {
  const long cells = static_cast<long>(tab->nrows) * tab->nLR;
  smoothtable(opt, tab, cells < minthreadcells ? 1 : usablecores());
}
