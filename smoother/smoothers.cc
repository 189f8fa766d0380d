#include "smoother/smoothers.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

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

// Adds row j, at weight w, to the sums of a row's window, unless its value
// is missing.
static void take(const options& opt, double w, const double* LR,
                 const double* dLR, int j, sums* acc) {
  if (std::isnan(LR[j]))
    return;
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

// The fast kernel. It finds each row's window and weights once for all
// columns, sums the columns side by side in vector lanes, and shares the
// rows among threads a chunk at a time. Each column's sum is still one
// chain of additions in the order above, so neither the lanes nor the
// threads change a bit.

constexpr int maxthreads = 64;    // threads beyond this share no more work
constexpr int cachebits = 12;     // 4096 weights remembered per thread
constexpr int tilerows = 8;       // rows whose windows are summed together
constexpr int grouprows = 4;      // rows that share each load of a value
constexpr int bandahead = 64;     // rows gathered beyond a tile's windows
constexpr int chunkrows = 256;    // rows a thread takes at a time
constexpr int maxchunks = (maxrows + chunkrows - 1) / chunkrows;

// Below this many table cells (rows times data columns) starting the
// threads, some 30 microseconds, costs more than the rows they take over
// save, even with windows of a few rows (measured: 150 rows of 64 columns,
// 1500 of 8, 4000 of 1).
constexpr long minthreadcells = 12000;

namespace {

// Row i's window: its length each way, and the sums that are the same for
// every column.
struct rowwindow {
  int nback;
  int nfwd;
  double W;
  double Vstddev;  // the error sum of a column without an error column
};

// One thread's scratch: the weights of a tile of rows, backward terms
// first (a window holds at most every row), and their squares, the factors
// of the error terms. The weight cache spares an exp for a distance met
// again (on a regular grid of positions, nearly every one); a weight is a
// pure function of its distance, so the bits are the same either way.
// The band is a copy of the rows the windows reach, row by row, so that
// the columns of one row lie side by side for the vector lanes: rows
// [bandfirst, bandfirst + bandrows) of the LR values, and of the dLR values
// of the columns that have them. It holds the whole table at most, and
// only the rows a tile needs at least. Where values are missing, the band
// holds 0 for a missing value and its error, and 1 or 0 in present for
// whether a value is there: a term of 0 adds nothing to a sum (no sum here
// is ever -0), so each column's sums take only its present rows.
struct scratch {
  double* weight[tilerows];   // each as long as the longest window
  double* square[tilerows];
  double* stdterm[tilerows];  // w * stddev * stddev, when missing
  std::uint32_t distance[1 << cachebits];
  double cached[1 << cachebits];
  bool used[1 << cachebits];
  int bandfirst;
  int bandrows;
  double* values;     // a row of every data column for each row
  double* errvalues;  // likewise for the error columns
  double* present;    // likewise, only where values are missing
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
  bool missing;          // some value is missing: each column its own W
  std::uint32_t reach;
  vectorunit unit;
};

// A smoothing under way. Its rows are taken a chunk at a time, in order,
// by the threads started for it and by the writer, which takes one itself
// whenever the row it needs is not yet done: so every thread works close to
// that row, and the threads and the writer never outnumber the cores.
struct smoothing {
  job jb;
  int nchunks;  // 0: none under way
  std::atomic<int> next;              // the next chunk to take
  std::atomic<bool> done[maxchunks];  // smoothed in every column
  std::atomic<bool> stop;  // the output has failed: smooth nothing more
  int nthreads;            // threads started
  pthread_t threads[maxthreads];
  scratch* scratches[maxthreads];  // the caller's first
};

}  // namespace

// Each thread's scratch is taken from the heap for the table at hand; a
// thread that cannot have its own does not start, and leaves the chunks to
// the others.
static smoothing current;

static double cachedweight(scratch* s, int smoothfunc, std::uint32_t d,
                           int winsize) {
  // The top bits of d times 2^32 over the golden ratio: distances on a grid
  // of any spacing spread evenly over the slots.
  const std::uint32_t slot = (d * 2654435761u) >> (32 - cachebits);
  if (s->used[slot] && s->distance[slot] == d)
    return s->cached[slot];
  double w = weightof(smoothfunc, d, winsize);
  s->used[slot] = true;
  s->distance[slot] = d;
  s->cached[slot] = w;
  return w;
}

// Makes the band hold rows [first, last) and some rows beyond, where the
// next tiles' windows will likely reach, so that it is gathered again only
// every few hundred rows.
static void gather(const job& jb, int first, int last, scratch* s) {
  const table* tab = jb.tab;
  if (first >= s->bandfirst && last <= s->bandfirst + s->bandrows)
    return;
  const int ahead = bandahead + (last - first);
  last = jb.n - last < ahead ? jb.n : last + ahead;
  for (int r = first; r < last; ++r) {
    const std::ptrdiff_t at = r - first;
    double* row = s->values + at * jb.ncols;
    for (int k = 0; k < jb.ncols; ++k)
      row[k] = tab->LR[k][r];
    double* errrow = s->errvalues + at * jb.nerr;
    for (int e = 0; e < jb.nerr; ++e)
      errrow[e] = tab->dLR[jb.witherr[e]][r];
    if (!jb.missing)
      continue;
    double* presentrow = s->present + at * jb.ncols;
    for (int k = 0, e = 0; k < jb.ncols; ++k) {
      const bool here = !std::isnan(row[k]);
      const bool own = e < jb.nerr && jb.witherr[e] == k;
      presentrow[k] = here;
      row[k] = here ? row[k] : 0;
      if (own)
        errrow[e] = here ? errrow[e] : 0;
      e += own;
    }
  }
  s->bandfirst = first;
  s->bandrows = last - first;
}

// Returns the weight of a neighbour at distance d, recorded as the t-th
// weight of slot r with its square.
static inline double takeweight(const job& jb, scratch* s, int r,
                                std::uint32_t d, int t) {
  const options& opt = *jb.opt;
  const double w = cachedweight(s, opt.smoothfunc, d, opt.winsize);
  s->weight[r][t] = w;
  if (jb.errors)
    s->square[r][t] = w * w;
  return w;
}

// Scans row i's window, backward then forward, and finds its weights on
// the way into slot r, with the sums every column shares, in the order the
// sums take them. Kept out of line: inlined into its caller, its loops'
// counters and sums were kept in memory, not registers.
__attribute__((noinline)) static void
findweights(const job& jb, int i, scratch* s, int r, rowwindow* win) {
  const std::int32_t* pos = jb.tab->pos;
  const std::uint32_t here = static_cast<std::uint32_t>(pos[i]);
  double W = 0;
  int t = 0;
  for (int j = i - 1; j >= 0; --j) {
    const std::uint32_t d = here - static_cast<std::uint32_t>(pos[j]);
    if (d > jb.reach)
      break;
    W += takeweight(jb, s, r, d, t++);
  }
  const int nback = t;
  for (int j = i; j < jb.n; ++j) {
    const std::uint32_t d = static_cast<std::uint32_t>(pos[j]) - here;
    if (d > jb.reach)
      break;
    W += takeweight(jb, s, r, d, t++);
  }
  double Vstddev = 0;
  if (jb.withstddev) {
    for (int u = 0; u < t; ++u) {
      const double term = s->weight[r][u] * jb.opt->stddev * jb.opt->stddev;
      Vstddev += term;
      if (jb.missing)
        s->stdterm[r][u] = term;  // summed again for each column
    }
  }
  *win = rowwindow{nback, t - nback, W, Vstddev};
}

// Doubles that are added and multiplied lane by lane, each lane exactly as
// a scalar double would be (no contraction into fused multiply-adds), so a
// lane's sum takes its terms in the same order and gives the same bits as
// the plain evaluation. One vector fills a register of the vector unit:
// eight lanes with AVX-512, four with AVX2, two with the generic SSE2 unit.
typedef double lanes8 __attribute__((vector_size(64)));
typedef double lanes4 __attribute__((vector_size(32)));
typedef double lanes2 __attribute__((vector_size(16)));

// The forms of term a sum takes from a value x at a factor f.
enum termform {
  product,  // f * x
  square,   // f * x * x
  // x is 1 where a value is there and 0 where it is missing: f where it is
  // there and nothing where it is not, even where f is infinite (f * 0
  // would be not-a-number).
  presentonly,
};

template <termform form, typename vec>
static inline __attribute__((always_inline)) void addto(vec& acc, double f,
                                                        const vec& x) {
  if constexpr (form == product)
    acc += f * x;
  else if constexpr (form == square)
    acc += f * x * x;
  else
    acc += x != 0 ? f * x : x;
}

// Adds the terms of the row's columns at factor to nvec vectors of sums.
template <typename vec, int nvec, termform form>
static inline __attribute__((always_inline)) void
addterm(vec* acc, const double* row, double factor) {
  for (int v = 0; v < nvec; ++v) {
    vec x;
    std::memcpy(&x, row + v * sizeof x / sizeof(double), sizeof x);
    addto<form>(acc[v], factor, x);
  }
}

// The same for the sums of a group of rows from one load of the values,
// row q's factor being factor[q][base[q] + o], o a row's offset from row i.
template <typename vec, int nvec, termform form>
static inline __attribute__((always_inline)) void
addterms(vec (*acc)[nvec], const double* row, const double* const* factor,
         const int* base, int o) {
  for (int v = 0; v < nvec; ++v) {
    vec x;
    std::memcpy(&x, row + v * sizeof x / sizeof(double), sizeof x);
    for (int q = 0; q < grouprows; ++q) {
      const double f = factor[q][base[q] + o];
      addto<form>(acc[q][v], f, x);
    }
  }
}

// Sums the windows win[q] of the group of rows i + q over nvec vectors of
// columns from column c0 on, each term in its row's fixed order with that
// row's factors: row i + q takes the rows at offsets o = q - 1 down to
// q - nback from row i (its term q - 1 - o), then q up to q + nfwd - 1
// (its term nback + o - q). The windows mostly overlap, so over the offsets
// every row takes, each value is loaded once for all; before and after
// those, each row takes its own. Windows of no rows pad a short group.
template <typename vec, int nvec, termform form>
static inline __attribute__((always_inline)) void
sumlanes(const double* block, std::ptrdiff_t stride, int c0, int i,
         const rowwindow* win, const double* const* factor,
         double (*sums)[maxcols]) {
  vec acc[grouprows][nvec] = {};
  const double* at = block + i * stride + c0;  // row i's columns
  int base[grouprows];
  int lo = -maxrows;  // backward, every row takes offsets -1 down to lo
  for (int q = 0; q < grouprows; ++q) {
    lo = std::max(lo, q - win[q].nback);
    for (int o = q - 1; o >= std::max(0, q - win[q].nback); --o)
      addterm<vec, nvec, form>(acc[q], at + o * stride,
                                  factor[q][q - 1 - o]);
    base[q] = q - 1;
  }
  for (int o = -1; o >= lo; --o)
    addterms<vec, nvec, form>(acc, at + o * stride, factor, base, -o);
  for (int q = 0; q < grouprows; ++q)
    for (int o = std::min(-1, lo - 1); o >= q - win[q].nback; --o)
      addterm<vec, nvec, form>(acc[q], at + o * stride,
                                  factor[q][q - 1 - o]);
  int hi = maxrows;  // forward, every row takes offsets grouprows - 1 up to hi
  for (int q = 0; q < grouprows; ++q) {
    hi = std::min(hi, q + win[q].nfwd - 1);
    base[q] = win[q].nback - q;
    for (int o = q; o <= std::min(grouprows - 2, q + win[q].nfwd - 1); ++o)
      addterm<vec, nvec, form>(acc[q], at + o * stride,
                                  factor[q][base[q] + o]);
  }
  for (int o = grouprows - 1; o <= hi; ++o)
    addterms<vec, nvec, form>(acc, at + o * stride, factor, base, o);
  for (int q = 0; q < grouprows; ++q)
    for (int o = std::max(grouprows - 1, hi + 1); o < q + win[q].nfwd; ++o)
      addterm<vec, nvec, form>(acc[q], at + o * stride,
                                  factor[q][base[q] + o]);
  for (int q = 0; q < grouprows; ++q)
    std::memcpy(sums[q] + c0, acc[q], sizeof acc[q]);
}

// Sets sums[r][c], for the nrows rows from row i0 on and every column c of
// the row-major block (ncols per row), to the sum over row i0 + r's window
// of the terms of factor[r][t] and value in the given form.
// A block of columns is summed for the whole tile before the next, so the
// values of the tile's windows are read from the cache, not from memory,
// after the first group of rows. Four vectors of columns for each row of
// a group keep sixteen chains of additions in flight.
template <typename vec, termform form>
static inline __attribute__((always_inline)) void
sumblocks(const double* block, int ncols, int i0, int nrows,
          const rowwindow* win, const double* const* factor,
          double (*sums)[maxcols]) {
  constexpr int width = sizeof(vec) / sizeof(double);
  int c0 = 0;
  for (; c0 + 4 * width <= ncols; c0 += 4 * width)
    for (int r = 0; r < nrows; r += grouprows)
      sumlanes<vec, 4, form>(block, ncols, c0, i0 + r, win + r,
                                factor + r, sums + r);
  for (; c0 + width <= ncols; c0 += width)
    for (int r = 0; r < nrows; r += grouprows)
      sumlanes<vec, 1, form>(block, ncols, c0, i0 + r, win + r,
                                factor + r, sums + r);
  for (; c0 < ncols; ++c0)
    for (int r = 0; r < nrows; r += grouprows)
      sumlanes<double, 1, form>(block, ncols, c0, i0 + r, win + r,
                                   factor + r, sums + r);
}

#if defined(__x86_64__) && !defined(QUORVEL_PORTABLE)
template <termform form>
__attribute__((target("avx512f"))) static void
sumavx512(const double* block, int ncols, int i0, int nrows,
          const rowwindow* win, const double* const* factor,
          double (*sums)[maxcols]) {
  sumblocks<lanes8, form>(block, ncols, i0, nrows, win, factor, sums);
}

template <termform form>
__attribute__((target("avx2"))) static void
sumavx2(const double* block, int ncols, int i0, int nrows,
        const rowwindow* win, const double* const* factor,
        double (*sums)[maxcols]) {
  sumblocks<lanes4, form>(block, ncols, i0, nrows, win, factor, sums);
}
#endif

vectorunit widestunit() {
#if defined(__x86_64__) && !defined(QUORVEL_PORTABLE)
  if (__builtin_cpu_supports("avx512f"))
    return vectorunit::avx512;
  if (__builtin_cpu_supports("avx2"))
    return vectorunit::avx2;
#endif
  return vectorunit::generic;
}

// The sums run on the given vector unit. Lane arithmetic is the same IEEE
// arithmetic on every unit, so all of them give the same bits.
template <termform form>
static void sumterms(vectorunit unit, const double* block, int ncols, int i0,
                     int nrows, const rowwindow* win,
                     const double* const* factor, double (*sums)[maxcols]) {
#if defined(__x86_64__) && !defined(QUORVEL_PORTABLE)
  if (unit == vectorunit::avx512)
    return sumavx512<form>(block, ncols, i0, nrows, win, factor, sums);
  if (unit == vectorunit::avx2)
    return sumavx2<form>(block, ncols, i0, nrows, win, factor, sums);
#endif
  (void)unit;
  sumblocks<lanes2, form>(block, ncols, i0, nrows, win, factor, sums);
}

// Sums the windows win of the nrows rows from row i0 on in every column,
// with the weights in the scratch, and stores their means and errors.
static void sumtile(const job& jb, int i0, int nrows, const rowwindow* win,
                    const scratch* s) {
  table* tab = jb.tab;
  constexpr int padded = tilerows + grouprows - 1;
  double sums[padded][maxcols];
  double W[padded][maxcols];  // each column's own, where values are missing
  const double* factor[padded];
  for (int r = 0; r < nrows + grouprows - 1; ++r)
    factor[r] = s->weight[r % tilerows];
  const int at = i0 - s->bandfirst;  // row i0 in the band
  sumterms<product>(jb.unit, s->values, jb.ncols, at, nrows, win, factor, sums);
  if (jb.missing)
    sumterms<product>(jb.unit, s->present, jb.ncols, at, nrows, win, factor, W);
  for (int r = 0; r < nrows && !jb.missing; ++r)
    std::fill_n(W[r], jb.ncols, win[r].W);
  // Column by column, so that a tile's outputs fill whole cache lines.
  for (int k = 0; k < jb.ncols; ++k)
    for (int r = 0; r < nrows; ++r)
      tab->LRout[k][i0 + r] = sums[r][k] / W[r][k];
  if (!jb.errors)
    return;
  // w * w * dLR * dLR evaluates as ((w * w) * dLR) * dLR, so w * w can be
  // formed once per row.
  for (int r = 0; r < nrows + grouprows - 1; ++r)
    factor[r] = s->square[r % tilerows];
  sumterms<square>(jb.unit, s->errvalues, jb.nerr, at, nrows, win, factor, sums);
  double Vstddev[padded][maxcols];  // likewise
  for (int r = 0; r < nrows + grouprows - 1; ++r)
    factor[r] = s->stdterm[r % tilerows];
  if (jb.missing && jb.withstddev)
    sumterms<presentonly>(jb.unit, s->present, jb.ncols, at, nrows, win, factor,
                          Vstddev);
  for (int k = 0, e = 0; k < jb.ncols; ++k) {
    const bool own = e < jb.nerr && jb.witherr[e] == k;
    for (int r = 0; r < nrows; ++r) {
      const double V = own          ? sums[r][e]
                       : jb.missing ? Vstddev[r][k]
                                    : win[r].Vstddev;
      tab->dLRout[k][i0 + r] = std::sqrt(V) / W[r][k];
    }
    e += own;
  }
}

// Smooths the rows [i0, i0 + nrows) of one tile.
static void smoothtile(const job& jb, int i0, int nrows, scratch* s) {
  rowwindow win[tilerows + grouprows - 1] = {};  // padded: windows of no rows
  int first = i0;
  int last = i0;
  for (int r = 0; r < nrows; ++r) {
    findweights(jb, i0 + r, s, r, &win[r]);
    first = std::min(first, i0 + r - win[r].nback);
    last = std::max(last, i0 + r + win[r].nfwd);
  }
  gather(jb, first, last, s);
  sumtile(jb, i0, nrows, win, s);
}

// Takes a scratch for the job at hand, sized by its table: weights for
// windows of every row at most, and a band of the whole table at most.
// Null when the memory cannot be had.
static scratch* newscratch(const job& jb) {
  const auto n = static_cast<std::size_t>(jb.n);
  const std::size_t weights = 3 * tilerows * n;
  const std::size_t band =
      n * (2 * static_cast<std::size_t>(jb.ncols) + jb.nerr);
  void* block = std::malloc(sizeof(scratch) + (weights + band) * sizeof(double));
  if (!block)
    return nullptr;
  auto* s = static_cast<scratch*>(block);
  double* at = reinterpret_cast<double*>(s + 1);
  for (double** w : {s->weight, s->square, s->stdterm})
    for (int r = 0; r < tilerows; ++r, at += n)
      w[r] = at;
  s->values = at;
  s->errvalues = s->values + n * jb.ncols;
  s->present = s->errvalues + n * jb.nerr;
  std::memset(s->used, 0, sizeof s->used);
  s->bandfirst = 0;
  s->bandrows = 0;
  return s;
}

// Takes the next chunk of rows not yet taken, smooths it a tile at a time
// and tells the writer. False when every chunk has been taken, or once the
// output has failed: the rows left would be smoothed for no one.
static bool takechunk(scratch* s) {
  const job& jb = current.jb;
  if (current.next.load(std::memory_order_relaxed) >= current.nchunks)
    return false;
  const int c = current.next.fetch_add(1);
  if (c >= current.nchunks)
    return false;
  const int to = std::min(jb.n, (c + 1) * chunkrows);
  for (int i0 = c * chunkrows; i0 < to; i0 += tilerows) {
    if (current.stop.load(std::memory_order_relaxed))
      return false;
    smoothtile(jb, i0, std::min(tilerows, to - i0), s);
  }
  current.done[c].store(true, std::memory_order_release);
  current.done[c].notify_all();
  return true;
}

static void* smoothchunks(void* arg) {
  auto* s = static_cast<scratch*>(arg);
  while (takechunk(s)) {
  }
  return nullptr;
}

// Starts nthreads - 1 threads on the chunks, the caller being the last,
// with small stacks: they hold only a tile's sums. None may be running
// (smoothend has joined them).
static void startthreads(int nthreads) {
  smoothing& c = current;
  c.nchunks = (c.jb.n + chunkrows - 1) / chunkrows;
  c.next.store(0, std::memory_order_relaxed);
  c.stop.store(false, std::memory_order_relaxed);
  for (int i = 0; i < c.nchunks; ++i)
    c.done[i].store(false, std::memory_order_relaxed);
  c.nthreads = 0;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  for (int t = 1; t < nthreads; ++t) {
    scratch* s = newscratch(c.jb);
    if (s && pthread_create(&c.threads[c.nthreads], &attr, smoothchunks, s) ==
                 0)
      c.scratches[++c.nthreads] = s;
    else
      std::free(s);
  }
  pthread_attr_destroy(&attr);
}

// Sets up the job for tab and starts the smoothing on nthreads threads in
// all, the caller counted. False when the caller's scratch cannot be had.
static bool startsmoothing(const options& opt, table* tab, int nthreads,
                           vectorunit unit) {
  const int n = tab->nrows;
  if (n <= 0 || tab->nLR == 0 || opt.smoothfunc < 1 || opt.smoothfunc > 5)
    return true;
  job& jb = current.jb;
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
  jb.missing = false;
  for (int k = 0; k < jb.ncols && !jb.missing; ++k)
    jb.missing = std::any_of(tab->LR[k], tab->LR[k] + n,
                             [](double v) { return std::isnan(v); });
  jb.reach = reachof(opt.smoothfunc, opt.winsize);
  jb.unit = unit;
  if (!(current.scratches[0] = newscratch(jb)))
    return false;
  startthreads(std::clamp(std::min(nthreads, n), 1, maxthreads));
  return true;
}

// The cores this process may run on, or 1 when that cannot be learnt.
static int usablecores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

int smoothstart(const diag& dg, const options& opt, table* tab) {
  const long cells = static_cast<long>(tab->nrows) * tab->nLR;
  if (startsmoothing(opt, tab, cells < minthreadcells ? 1 : usablecores(),
                     widestunit()))
    return 0;
  say(dg, {"Unable to allocate memory for the windows"});
  return -1;
}

void smoothwait(int r) {
  const int c = r / chunkrows;
  if (r < 0 || c >= current.nchunks)
    return;
  while (!current.done[c].load(std::memory_order_acquire))
    if (!takechunk(current.scratches[0]))
      current.done[c].wait(false, std::memory_order_acquire);
}

void smoothend() {
  current.stop.store(true, std::memory_order_relaxed);
  for (int t = 0; t < current.nthreads; ++t)
    pthread_join(current.threads[t], nullptr);
  for (int t = 0; t <= current.nthreads; ++t)
    std::free(current.scratches[t]);
  current.scratches[0] = nullptr;
  current.nthreads = 0;
  current.nchunks = 0;
}

void smoothtable(const options& opt, table* tab, int nthreads,
                 vectorunit unit) {
  if (!startsmoothing(opt, tab, nthreads, unit))
    return;
  for (int r = 0; r < tab->nrows; r += chunkrows)
    smoothwait(r);
  smoothend();
}
