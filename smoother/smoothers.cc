#include "smoother/smoothers.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

// Every weight and sum below is written as the exact expression whose bits
// the program prints: evaluated in double, left to right, never contracted
// into fused multiply-adds (the build passes -ffp-contract=off). A faster
// kernel must reproduce these bits, so this file stays the plain reference.

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

std::uint32_t reachof(int smoothfunc, int winsize) {
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

double weightof(int smoothfunc, std::uint32_t d, int winsize) {
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

void window(const std::int32_t* pos, int n, int i, std::uint32_t reach,
            int* first, int* last) {
  // Positions are compared as unsigned 32-bit differences from pos[i], so a
  // row on the wrong side of pos[i] is a huge distance and ends its scan.
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

void smoothcolumn(int smoothfunc, const options& opt, const std::int32_t* pos,
                  const double* LR, const double* dLR, double* LRout,
                  double* dLRout, int n) {
  if (smoothfunc < 1 || smoothfunc > 5)
    return;
  const std::uint32_t reach = reachof(smoothfunc, opt.winsize);
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
      take(opt, weightof(smoothfunc, d, opt.winsize), LR, dLR, j, &acc);
    }
    for (int j = i; j <= last; j++) {
      const std::uint32_t d = static_cast<std::uint32_t>(pos[j]) - here;
      take(opt, weightof(smoothfunc, d, opt.winsize), LR, dLR, j, &acc);
    }
    LRout[i] = acc.S / acc.W;
    if (opt.outopt == 2)
      dLRout[i] = std::sqrt(acc.V) / acc.W;
  }
}

// Weights by distance, so that a distance met again (on a regular grid of
// positions, nearly every one) costs a lookup instead of an exp. The weight
// is a pure function of the distance, so the bits are the same either way.
namespace {
struct weightcache {
  static constexpr int size = 4096;
  std::uint32_t distance[size];
  double weight[size];
  bool used[size];
};
}  // namespace

static double cachedweight(weightcache* cache, int smoothfunc,
                           std::uint32_t d, int winsize) {
  std::uint32_t slot = (d * 2654435761u) >> 20;
  if (cache->used[slot] && cache->distance[slot] == d)
    return cache->weight[slot];
  double w = weightof(smoothfunc, d, winsize);
  cache->used[slot] = true;
  cache->distance[slot] = d;
  cache->weight[slot] = w;
  return w;
}

// Eight doubles that are added and multiplied lane by lane, each lane
// exactly as a scalar double would be (no contraction into fused
// multiply-adds), so a lane's sum takes its terms in the same order and
// gives the same bits as the plain evaluation.
typedef double lanes __attribute__((vector_size(64)));

// The summing loop is built for the widest vector unit the machine has,
// chosen when the program starts; the portable build has only the generic
// one. Lane arithmetic is the same IEEE arithmetic on every unit, so all of
// them give the same bits.
#ifdef QUORVEL_PORTABLE
#define widestlanes
#else
#define widestlanes __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
constexpr int nlanes = 8;

// Adds the window's terms to the sums of nvec * nlanes columns from column
// c0 on: factor[t] * value, or factor[t] * value * value when squared, the
// terms in their fixed order (rows i-1 down to i-nback, then rows i up to
// i+nfwd-1). Different columns go side by side; each column's own sum is
// still one chain of additions in term order.
template <int nvec, bool squared>
static inline __attribute__((always_inline)) void
sumlanes(const double* values, std::ptrdiff_t stride, int c0, int i, int nback,
         int nfwd, const double* factor, double* sums) {
  lanes acc[nvec] = {};
  const double* row = values + (i - 1) * stride + c0;
  const double* f = factor;
  for (int t = 0; t < nback + nfwd; ++t, ++f) {
    if (t == nback)
      row = values + i * stride + c0;
    for (int v = 0; v < nvec; ++v) {
      lanes x;
      std::memcpy(&x, row + v * nlanes, sizeof x);
      acc[v] += squared ? *f * x * x : *f * x;
    }
    row += t < nback ? -stride : stride;
  }
  std::memcpy(sums + c0, acc, sizeof acc);
}

// Sets sums[c] for every column c of the row-major values (ncols per row)
// to the sum over row i's window of factor[t] * value (or factor[t] *
// value * value when squared).
template <bool squared>
widestlanes static void sumterms(const double* values, int ncols, int i,
                                 int nback, int nfwd, const double* factor,
                                 double* sums) {
  const std::ptrdiff_t stride = ncols;
  int c0 = 0;
  for (; c0 + 4 * nlanes <= ncols; c0 += 4 * nlanes)
    sumlanes<4, squared>(values, stride, c0, i, nback, nfwd, factor, sums);
  for (; c0 + nlanes <= ncols; c0 += nlanes)
    sumlanes<1, squared>(values, stride, c0, i, nback, nfwd, factor, sums);
  for (int c = c0; c < ncols; ++c) {
    double acc = 0;
    const double* f = factor;
    for (int t = 0; t < nback; ++t, ++f) {
      double x = values[(i - 1 - t) * stride + c];
      acc += squared ? *f * x * x : *f * x;
    }
    for (int t = 0; t < nfwd; ++t, ++f) {
      double x = values[(i + t) * stride + c];
      acc += squared ? *f * x * x : *f * x;
    }
    sums[c] = acc;
  }
}

// Copies the columns of cols into one row-major block of n rows.
static void interleave(double* const* cols, const int* which, int ncols, int n,
                       double* block) {
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < ncols; ++c)
      block[static_cast<std::ptrdiff_t>(r) * ncols + c] = cols[which[c]][r];
}

void smoothtable(int smoothfunc, const options& opt, table* tab) {
  const int n = tab->nrows;
  const int ncols = tab->nLR;
  if (n <= 0 || ncols == 0 || smoothfunc < 1 || smoothfunc > 5)
    return;
  const bool errors = opt.outopt == 2;
  int all[maxcols];
  int witherr[maxcols];  // the columns that have an error column
  int nerr = 0;
  for (int k = 0; k < ncols; ++k) {
    all[k] = k;
    if (errors && tab->dLR[k])
      witherr[nerr++] = k;
  }
  const bool withstddev = errors && nerr < ncols;

  // Scratch for this call only: the values row by row, and one row's
  // weights and squared weights (a window holds at most every row). The
  // error block gets one spare double, so that no error columns is not
  // mistaken for a failed reservation.
  const std::size_t rows = static_cast<std::size_t>(n);
  auto* values =
      static_cast<double*>(std::malloc(rows * ncols * sizeof(double)));
  auto* errvalues =
      static_cast<double*>(std::malloc((rows * nerr + 1) * sizeof(double)));
  auto* weight = static_cast<double*>(std::malloc(rows * sizeof(double)));
  auto* square = static_cast<double*>(std::malloc(rows * sizeof(double)));
  auto* cache = static_cast<weightcache*>(std::calloc(1, sizeof(weightcache)));
  if (!values || !errvalues || !weight || !square || !cache) {
    // Short of memory the plain evaluation gives the same bits, slower.
    for (int k = 0; k < ncols; ++k)
      smoothcolumn(smoothfunc, opt, tab->pos, tab->LR[k], tab->dLR[k],
                   tab->LRout[k], tab->dLRout[k], n);
  } else {
    interleave(tab->LR, all, ncols, n, values);
    interleave(tab->dLR, witherr, nerr, n, errvalues);
    const std::uint32_t reach = reachof(smoothfunc, opt.winsize);
    const std::int32_t* pos = tab->pos;
    double S[maxcols];
    double V[maxcols];
    for (int i = 0; i < n; ++i) {
      int first;
      int last;
      window(pos, n, i, reach, &first, &last);
      const int nback = i - first;
      const int nfwd = last - i + 1;
      const std::uint32_t here = static_cast<std::uint32_t>(pos[i]);
      int t = 0;
      for (int j = i - 1; j >= first; --j)
        weight[t++] = cachedweight(cache, smoothfunc,
                                   here - static_cast<std::uint32_t>(pos[j]),
                                   opt.winsize);
      for (int j = i; j <= last; ++j)
        weight[t++] = cachedweight(cache, smoothfunc,
                                   static_cast<std::uint32_t>(pos[j]) - here,
                                   opt.winsize);
      double W = 0;
      for (t = 0; t < nback + nfwd; ++t)
        W += weight[t];
      sumterms<false>(values, ncols, i, nback, nfwd, weight, S);
      for (int k = 0; k < ncols; ++k)
        tab->LRout[k][i] = S[k] / W;
      if (!errors)
        continue;
      // w * w * dLR * dLR evaluates as ((w * w) * dLR) * dLR, so w * w can
      // be formed once per row.
      for (t = 0; t < nback + nfwd; ++t)
        square[t] = weight[t] * weight[t];
      sumterms<true>(errvalues, nerr, i, nback, nfwd, square, V);
      double Vstddev = 0;
      if (withstddev)
        for (t = 0; t < nback + nfwd; ++t)
          Vstddev += weight[t] * opt.stddev * opt.stddev;
      for (int k = 0, e = 0; k < ncols; ++k) {
        bool own = e < nerr && witherr[e] == k;
        tab->dLRout[k][i] = std::sqrt(own ? V[e++] : Vstddev) / W;
      }
    }
  }
  std::free(values);
  std::free(errvalues);
  std::free(weight);
  std::free(square);
  std::free(cache);
}
