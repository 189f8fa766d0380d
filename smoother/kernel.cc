#include "smoother/kernel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "smoother/lanes.h"

// The kernel finds each row's window and weights once for all columns and
// sums the columns side by side in vector lanes. A tile's windows are
// swept a segment of band rows at a time, backward then forward as the
// plain evaluation takes them, so that however wide the windows are, the
// segment's values and weights stay in the cache while every row of the
// tile takes them; each row's sums wait in memory between segments.

constexpr long segrows = 256;  // band rows in a segment

// Rows either side of a row that a window on a grid may reach and still
// take its weights from the grid's one run of them.
constexpr long gridreach = 1024;

struct tilescratch {
  weightcache cache;
  long first[tilerows];  // each row's window
  long last[tilerows];
  long a[tilerows];  // each row's part of the segment
  long b[tilerows];
  // The sums every column shares, when none has a missing value: each
  // row's weights, then its errors from stddev.
  double shared[2 * tilerows];
  // Each row's weights in the segment and, where errors come from
  // stddev, each weight times stddev squared.
  double w[tilerows][segrows];
  double g[tilerows][segrows];
  const double* wrow[tilerows];
  const double* grow[tilerows];
  // Where the positions of all the rows a tile takes lie a step apart, a
  // weight depends only on how many rows lie between: row i's weight at
  // row j is then gridw[gridreach + j - i], and its g gridg's. They are
  // found out to gridfilled rows either side, for gridstep.
  bool ongrid = false;
  std::uint32_t gridstep = 0;
  long gridfilled = -1;
  double gridw[2 * gridreach + 1];
  double gridg[2 * gridreach + 1];
  // Each row's sums in every column: weighted values, and where values
  // are missing, weights and errors from stddev; and the error columns'
  // squared error terms.
  owned<double> sums;
  std::size_t nsums;
  double* S;
  double* Wk;
  double* Vk;
  double* V;
};

void tilescratchfree::operator()(tilescratch* s) const { delete s; }

tileroom newtilescratch(const kernelsetup& ks, const band& b) {
  // A tile is no longer than the table, in whole groups of rows.
  const long rows = std::min<long>(
      tilerows, (ks.rows.n + grouprows - 1) / grouprows * grouprows);
  const auto cells = static_cast<std::size_t>(rows * b.ncols);
  const std::size_t sums = cells * (ks.missing ? 3 : 1) +
                           static_cast<std::size_t>(rows * b.nerr);
  tileroom s(create<tilescratch>().release());
  if (!s || !(s->sums = allocate<double>(sums)))
    return nullptr;
  s->nsums = sums;
  // The sums of weights and of errors from stddev are each column's own
  // only where values are missing.
  s->S = s->sums.get();
  s->Wk = s->S + (ks.missing ? cells : 0);
  s->Vk = s->Wk + (ks.missing ? cells : 0);
  s->V = s->Vk + cells;
  for (int r = 0; r < tilerows; ++r) {
    s->wrow[r] = s->w[r];
    s->grow[r] = s->g[r];
  }
  return s;
}

// Doubles that are added and multiplied lane by lane, each lane exactly as
// a scalar double would be. One vector fills a register of the vector
// unit: eight lanes with AVX-512, four with AVX2, two with the generic
// unit every target has (SSE2, NEON, the s390x vector facility, or plain
// scalar code where there is none).
typedef double lanes8 __attribute__((vector_size(64)));
typedef double lanes4 __attribute__((vector_size(32)));
typedef double lanes2 __attribute__((vector_size(16)));

#if defined(__x86_64__) && !defined(QUORVEL_PORTABLE)
template <termform form, bool backward>
__attribute__((target("avx512f"))) static void sumavx512(const segment& sg,
                                                          int ncols) {
  sumsegment<lanes8, form, backward>(sg, ncols);
}

template <termform form, bool backward>
__attribute__((target("avx2"))) static void sumavx2(const segment& sg,
                                                     int ncols) {
  sumsegment<lanes4, form, backward>(sg, ncols);
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

// Sums a segment on the given vector unit. Lane arithmetic is the same
// IEEE arithmetic on every unit, so all of them give the same bits.
template <termform form, bool backward>
static void sumon(vectorunit unit, const segment& sg, int ncols) {
#if defined(__x86_64__) && !defined(QUORVEL_PORTABLE)
  if (unit == vectorunit::avx512)
    return sumavx512<form, backward>(sg, ncols);
  if (unit == vectorunit::avx2)
    return sumavx2<form, backward>(sg, ncols);
#endif
  (void)unit;
  sumsegment<lanes2, form, backward>(sg, ncols);
}

template <termform form>
static void sumterms(vectorunit unit, const segment& sg, int ncols,
                     bool backward) {
  if (backward)
    sumon<form, true>(unit, sg, ncols);
  else
    sumon<form, false>(unit, sg, ncols);
}

// The step from row j - 1's position to row j's, in wrapping 32-bit
// arithmetic, as distances are taken.
static std::uint32_t stepto(const std::int32_t* pos, long j) {
  return static_cast<std::uint32_t>(pos[j]) -
         static_cast<std::uint32_t>(pos[j - 1]);
}

// Finds each tile row's part of the band rows [seglo, seghi] and its
// weights there. A weight is a pure function of its distance, so the
// order they are found in does not matter.
static void findweights(const kernelsetup& ks, tilescratch* s, long i0,
                        int count, long seglo, long seghi, bool backward) {
  const std::int32_t* pos = ks.rows.pos;
  const bool constant = ks.sh.info->constantweight;
  // Backward a distance is the row's position less the other's, forward
  // the other's less the row's: in 32-bit arithmetic, the sign flipped.
  const std::uint32_t flip = backward ? ~0u : 0u;
  for (int r = 0; r < tilerows; ++r) {
    const long i = i0 + r;
    if (r >= count) {
      s->a[r] = seghi + 1;  // a row past the tile takes nothing
      s->b[r] = seghi;
      continue;
    }
    const long a =
        backward ? std::max(s->first[r], seglo) : std::max(i, seglo);
    const long b =
        backward ? std::min(i - 1, seghi) : std::min(s->last[r], seghi);
    s->a[r] = a;
    s->b[r] = b;
    if (s->ongrid) {
      // Row j's weight is gridw's at gridreach + j - i, which lies within
      // what is filled: every j and i are of the tile's reach.
      s->wrow[r] = s->gridw + (gridreach + seglo - i);
      s->grow[r] = s->gridg + (gridreach + seglo - i);
      continue;
    }
    s->wrow[r] = s->w[r];
    s->grow[r] = s->g[r];
    double* w = s->w[r];
    const auto here = static_cast<std::uint32_t>(pos[i]);
    auto find = [&](long j) {
      const std::uint32_t d =
          ((static_cast<std::uint32_t>(pos[j]) - here) ^ flip) - flip;
      w[j - seglo] = constant ? 1.0 : cachedweight(&s->cache, ks.sh, d);
    };
    long j = a;
    // Where the step from j - 1 to j is the step from i - 1 to i, j lies
    // from i as j - 1 lies from i - 1, and its weight is the one found a
    // row before: on a regular grid, nearly all of them.
    if (r > 0 && !constant) {
      const std::uint32_t step = stepto(pos, i);
      const double* before = s->w[r - 1];
      const long shared = std::min(b, s->b[r - 1] + 1);
      for (; j <= b && j <= s->a[r - 1]; ++j)
        find(j);
      for (; j <= shared; ++j) {
        if (stepto(pos, j) == step)
          w[j - seglo] = before[j - 1 - seglo];
        else
          find(j);
      }
    }
    for (; j <= b; ++j)
      find(j);
    // f * sd * sd evaluates as (f * sd) * sd, as the plain sum takes it.
    if (ks.withstddev)
      for (long k = a; k <= b; ++k)
        s->g[r][k - seglo] = w[k - seglo] * ks.stddev * ks.stddev;
  }
}

// Adds the terms of the band rows [seglo, seghi] to the tile's sums.
static void sumrange(const kernelsetup& ks, const band& bd, tilescratch* s,
                     long i0, int count, long seglo, long seghi,
                     bool backward) {
  findweights(ks, s, i0, count, seglo, seghi, backward);
  const int nrows = (count + grouprows - 1) / grouprows * grouprows;
  segment sg{bandvalues(bd, seglo), bd.ncols, seglo, s->a, s->b, s->wrow,
             s->S, bd.ncols, nrows};
  if (!ks.missing) {
    sumterms<product>(ks.unit, sg, bd.ncols, backward);
    // The sums that every column shares, of the weights and of the errors
    // from stddev, summed as a column of ones: each row's terms in their
    // order, four rows side by side.
    static const double one = 1.0;
    segment ones{&one, 0, seglo, s->a, s->b, s->wrow, s->shared, 1, nrows,
                 tilerows, s->grow};
    if (ks.withstddev)
      sumterms<weights>(ks.unit, ones, 1, backward);
    else
      sumterms<product>(ks.unit, ones, 1, backward);  // w * 1 is w
  } else {
    // Each column's own sums, S, Wk and Vk, lie a tile's cells apart.
    sg.apart = s->Wk - s->S;
    sg.gfactor = s->grow;
    if (ks.withstddev)
      sumterms<weighedstddev>(ks.unit, sg, bd.ncols, backward);
    else
      sumterms<weighed>(ks.unit, sg, bd.ncols, backward);
  }
  if (!ks.errors || bd.nerr == 0)
    return;
  // w * w * dLR * dLR evaluates as ((w * w) * dLR) * dLR: the sums form
  // w * w from the weights, once for every vector of columns.
  sg = {banderrors(bd, seglo), bd.nerr, seglo, s->a, s->b, s->wrow, s->V,
        bd.nerr, nrows};
  if (ks.missing)
    sumterms<squarepresent>(ks.unit, sg, bd.nerr, backward);
  else
    sumterms<square>(ks.unit, sg, bd.nerr, backward);
}

// Sets s->ongrid: whether the positions of the rows [lo, hi], which hold
// the tile's rows and windows, lie a step apart, none farther than
// gridreach rows from a tile row; if so, fills gridw and gridg as far as
// they reach. In 32-bit arithmetic the distance from row i to row j is
// then |j - i| steps exactly, whichever side j lies.
static void findgrid(const kernelsetup& ks, tilescratch* s, long i0,
                     int count, long lo, long hi) {
  const std::int32_t* pos = ks.rows.pos;
  const long reach = std::max(i0 + count - 1 - lo, hi - i0);
  s->ongrid = false;
  if (reach > gridreach || hi == lo)
    return;
  const std::uint32_t step = stepto(pos, lo + 1);
  for (long j = lo + 2; j <= hi; ++j)
    if (stepto(pos, j) != step)
      return;
  s->ongrid = true;
  if (step == s->gridstep && reach <= s->gridfilled)
    return;
  const double sd = ks.stddev;
  for (long m = 0; m <= reach; ++m) {
    const double w =
        ks.sh.info->constantweight
            ? 1.0
            : cachedweight(&s->cache, ks.sh,
                           static_cast<std::uint32_t>(m) * step);
    s->gridw[gridreach + m] = s->gridw[gridreach - m] = w;
    s->gridg[gridreach + m] = s->gridg[gridreach - m] = w * sd * sd;
  }
  s->gridstep = step;
  s->gridfilled = reach;
}

void smoothtile(const kernelsetup& ks, const band& b, windowwalk* walk,
                tilescratch* s, long i0, int count, double* LRout,
                double* dLRout) {
  long lo = i0;
  long hi = i0;
  for (int r = 0; r < count; ++r) {
    windowof(walk, i0 + r, &s->first[r], &s->last[r]);
    lo = std::min(lo, s->first[r]);
    hi = std::max(hi, s->last[r]);
  }
  findgrid(ks, s, i0, count, lo, std::max(hi, i0 + count - 1));
  std::fill_n(s->sums.get(), s->nsums, 0.0);
  std::fill_n(s->shared, 2 * tilerows, 0.0);
  // The backward scans, from the row before the tile's last down to the
  // lowest row a window takes, then the forward scans from the tile's
  // first row up; no segment crosses the end of the band's ring.
  for (long top = i0 + count - 2; top >= lo;) {
    const long bottom =
        std::max({lo, top - segrows + 1, top - top % b.nslots});
    sumrange(ks, b, s, i0, count, bottom, top, true);
    top = bottom - 1;
    if (ks.watch && outgone(ks.watch))
      return;
  }
  for (long bottom = i0; bottom <= hi;) {
    const long top = std::min(
        {hi, bottom + segrows - 1, bottom - bottom % b.nslots + b.nslots - 1});
    sumrange(ks, b, s, i0, count, bottom, top, false);
    bottom = top + 1;
    if (ks.watch && outgone(ks.watch))
      return;
  }
  // The means and errors cell by cell, in loops simple enough for the
  // vector unit to divide, and take square roots, several cells at once.
  const long cells = static_cast<long>(count) * b.ncols;
  if (ks.missing) {
    for (long c = 0; c < cells; ++c)
      LRout[c] = s->S[c] / s->Wk[c];
  } else {
    for (int r = 0; r < count; ++r)
      for (long c = r * b.ncols; c < (r + 1) * b.ncols; ++c)
        LRout[c] = s->S[c] / s->shared[r];
  }
  if (!ks.errors)
    return;
  if (ks.missing && b.nerr == 0) {
    for (long c = 0; c < cells; ++c)
      dLRout[c] = std::sqrt(s->Vk[c]) / s->Wk[c];
    return;
  }
  for (int r = 0; r < count; ++r) {
    const long at = static_cast<long>(r) * b.ncols;
    for (int k = 0; k < b.ncols; ++k) {
      const double W = ks.missing ? s->Wk[at + k] : s->shared[r];
      const int e = ks.errindex[k];
      const double V = e >= 0       ? s->V[static_cast<long>(r) * b.nerr + e]
                       : ks.missing ? s->Vk[at + k]
                                    : s->shared[tilerows + r];
      dLRout[at + k] = std::sqrt(V) / W;
    }
  }
}

void copytile(const kernelsetup& ks, const band& b, long i0, int count,
              double* LRout, double* dLRout) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int r = 0; r < count; ++r) {
    const double* LR = bandvalues(b, i0 + r);
    const double* dLR = banderrors(b, i0 + r);
    const long at = static_cast<long>(r) * b.ncols;
    for (int k = 0; k < b.ncols; ++k) {
      LRout[at + k] = LR[k];
      const int e = ks.errindex[k];
      // A missing value's error is missing too.
      dLRout[at + k] = e >= 0 ? dLR[e] : LR[k] != LR[k] ? nan : ks.stddev;
    }
  }
}
