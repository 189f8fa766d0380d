// The inner loops of the summing kernel, for any vector width. Included by
// the kernel alone, which instantiates them once per vector unit.
//
// Each column's sum is one chain of additions in the order of the plain
// evaluation: lanes add and multiply exactly as scalar doubles do, so a
// lane's chain gives the same bits as the plain one.
#pragma once

#include <algorithm>
#include <cstring>

// The forms of term a sum takes from a value x at a weight f. A missing
// value is not-a-number (x != x), and "where present" leaves its term
// out, where f * x would be not-a-number: the same as adding 0, as no sum
// here is ever -0, and one masked addition where the unit has them. The
// error that stddev gives a column without an error column sums the
// weights with one factor f each, as f * sd * sd: g, found once for each
// weight rather than in every vector of columns. A form of several sums
// takes all their terms from one reading of x.
enum termform {
  product,        // f * x
  square,         // f * f * x * x
  squarepresent,  // f * f * x * x where present
  weights,        // f and g, whatever x
  weighed,        // f * x and f, where present
  weighedstddev,  // f * x, f and g, where present
};

// How many sums a form adds to at once.
constexpr int sumsof(termform form) {
  if (form == weighedstddev)
    return 3;
  return form == weights || form == weighed ? 2 : 1;
}

// True for the forms that take g.
constexpr bool takesg(termform form) {
  return form == weights || form == weighedstddev;
}

// Adds x's terms at weight f, and g, to the sums acc[0], acc[1]...
template <termform form, typename vec>
static inline __attribute__((always_inline)) void addto(vec* acc, double f,
                                                        double g,
                                                        const vec& x) {
  if constexpr (form == product) {
    acc[0] += f * x;
  } else if constexpr (form == square) {
    acc[0] += f * f * x * x;
  } else if constexpr (form == squarepresent) {
    acc[0] = x == x ? acc[0] + f * f * x * x : acc[0];
  } else if constexpr (form == weights) {
    acc[0] += f;
    acc[1] += g;
  } else {
    const auto has = x == x;
    acc[0] = has ? acc[0] + f * x : acc[0];
    acc[1] = has ? acc[1] + f : acc[1];
    if constexpr (form == weighedstddev)
      acc[2] = has ? acc[2] + g : acc[2];
  }
}

constexpr int grouprows = 4;  // rows that share each load of a value

// One segment of a tile's sums: the band rows [seglo, seghi] of a block of
// columns, row j at seg + (j - seglo) * stride; for tile row r its part of
// the segment [a[r], b[r]] (empty when a[r] > b[r]), its weights
// factor[r][j - seglo] and its sums at acc + r * accstride, a form's next
// sums apart after them.
struct segment {
  const double* seg;
  long stride;
  long seglo;
  const long* a;
  const long* b;
  const double* const* factor;
  double* acc;
  long accstride;
  int nrows;  // a whole number of groups
  long apart = 0;
  const double* const* gfactor = nullptr;
};

// Row j's g in a weight row's g, for the forms that take one.
template <termform form>
static inline __attribute__((always_inline)) double gof(const double* g,
                                                        long at) {
  if constexpr (takesg(form))
    return g[at];
  (void)g;
  (void)at;
  return 0;
}

// Adds the terms of rows from, from + step, ... up to to (none when from
// is past to), to nvec vectors of sums of one tile row; backward takes the
// rows from the top down.
template <typename vec, int nvec, termform form, bool backward>
static inline __attribute__((always_inline)) void
addrows(const segment& sg, vec (*acc)[sumsof(form)], const double* f,
        const double* g, long from, long to) {
  constexpr long step = backward ? -1 : 1;
  for (long j = from; backward ? j >= to : j <= to; j += step) {
    const double* row = sg.seg + (j - sg.seglo) * sg.stride;
    for (int v = 0; v < nvec; ++v) {
      vec x;
      std::memcpy(&x, row + v * sizeof x / sizeof(double), sizeof x);
      addto<form>(acc[v], f[j - sg.seglo], gof<form>(g, j - sg.seglo), x);
    }
  }
}

// Sums a group of tile rows from r0 over nvec vectors of columns from the
// segment's first: each row takes the part of its range that the others
// lack on its own, and the part all of them share from one load of each
// value, so that every row's terms keep their order.
template <typename vec, int nvec, termform form, bool backward>
static inline __attribute__((always_inline)) void
sumgroup(const segment& sg, int r0) {
  constexpr int width = sizeof(vec) / sizeof(double);
  constexpr int nsums = sumsof(form);
  vec acc[grouprows][nvec][nsums];
  for (int q = 0; q < grouprows; ++q)
    for (int v = 0; v < nvec; ++v)
      for (int k = 0; k < nsums; ++k)
        std::memcpy(&acc[q][v][k],
                    sg.acc + (r0 + q) * sg.accstride + v * width + k * sg.apart,
                    sizeof(vec));
  const long* a = sg.a + r0;
  const long* b = sg.b + r0;
  const double* const* f = sg.factor + r0;
  const double* g[grouprows];
  for (int q = 0; q < grouprows; ++q)
    g[q] = takesg(form) ? sg.gfactor[r0 + q] : nullptr;
  long lo = a[0];
  long hi = b[0];
  for (int q = 1; q < grouprows; ++q) {
    lo = std::max(lo, a[q]);
    hi = std::min(hi, b[q]);
  }
  constexpr long step = backward ? -1 : 1;
  if (lo > hi) {
    // No part in common (a row that takes nothing here, say).
    for (int q = 0; q < grouprows; ++q)
      addrows<vec, nvec, form, backward>(sg, acc[q], f[q], g[q],
                                         backward ? b[q] : a[q],
                                         backward ? a[q] : b[q]);
  } else {
    const long first = backward ? hi : lo;  // the common part's ends, in
    const long last = backward ? lo : hi;   // the order the rows are taken
    for (int q = 0; q < grouprows; ++q)
      addrows<vec, nvec, form, backward>(sg, acc[q], f[q], g[q],
                                         backward ? b[q] : a[q],
                                         first - step);
    for (long j = first; backward ? j >= last : j <= last; j += step) {
      const double* row = sg.seg + (j - sg.seglo) * sg.stride;
      for (int v = 0; v < nvec; ++v) {
        vec x;
        std::memcpy(&x, row + v * width, sizeof x);
        for (int q = 0; q < grouprows; ++q)
          addto<form>(acc[q][v], f[q][j - sg.seglo],
                      gof<form>(g[q], j - sg.seglo), x);
      }
    }
    for (int q = 0; q < grouprows; ++q)
      addrows<vec, nvec, form, backward>(sg, acc[q], f[q], g[q], last + step,
                                         backward ? a[q] : b[q]);
  }
  for (int q = 0; q < grouprows; ++q)
    for (int v = 0; v < nvec; ++v)
      for (int k = 0; k < nsums; ++k)
        std::memcpy(sg.acc + (r0 + q) * sg.accstride + v * width + k * sg.apart,
                    &acc[q][v][k], sizeof(vec));
}

// Sums the segment over ncols columns: four vectors of columns at a time
// for each group of rows, which keeps sixteen chains of additions in
// flight, then single vectors (a form of several sums keeps as many chains
// with one), then single columns. A block of columns is summed for the
// whole tile before the next, so the segment's values are read from the
// cache, not from memory, after the first group.
template <typename vec, termform form, bool backward>
static inline __attribute__((always_inline)) void sumsegment(segment sg,
                                                             int ncols) {
  constexpr int width = sizeof(vec) / sizeof(double);
  const double* seg = sg.seg;
  double* acc = sg.acc;
  int c0 = 0;
  for (; sumsof(form) == 1 && c0 + 4 * width <= ncols; c0 += 4 * width) {
    sg.seg = seg + c0;
    sg.acc = acc + c0;
    for (int r0 = 0; r0 < sg.nrows; r0 += grouprows)
      sumgroup<vec, 4, form, backward>(sg, r0);
  }
  for (; c0 + width <= ncols; c0 += width) {
    sg.seg = seg + c0;
    sg.acc = acc + c0;
    for (int r0 = 0; r0 < sg.nrows; r0 += grouprows)
      sumgroup<vec, 1, form, backward>(sg, r0);
  }
  for (; c0 < ncols; ++c0) {
    sg.seg = seg + c0;
    sg.acc = acc + c0;
    for (int r0 = 0; r0 < sg.nrows; r0 += grouprows)
      sumgroup<double, 1, form, backward>(sg, r0);
  }
}
