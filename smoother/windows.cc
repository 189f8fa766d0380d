#include "smoother/windows.h"

#include <algorithm>
#include <cmath>

// The triangle's slope in units of x; its inverse is the triangle's reach
// per unit of winsize (about 0.8536), where its weight falls to 0.
static double triangleslope() { return 4.0 - 2.0 * std::sqrt(2.0); }

static std::uint32_t noreach(std::uint32_t) { return 0; }
static std::uint32_t halfwidth(std::uint32_t w) { return w >> 1; }
static std::uint32_t twowidths(std::uint32_t w) { return 2u * w; }
static std::uint32_t threewidths(std::uint32_t w) { return 3u * w; }
static std::uint32_t trianglereach(std::uint32_t w) {
  // Below 4294967295 / 1.1716, so the cut always fits 32 bits.
  return static_cast<std::uint32_t>(static_cast<double>(w) / triangleslope());
}

static double flat(double) { return 1.0; }
static double gaussian(double x) {
  return std::exp(-(1.9077 * x) * (1.9077 * x));
}
static double triangle(double x) {
  const double t = std::fabs(x * triangleslope());
  return t <= 1 ? 1 - t : 0;
}
static double lorentzian(double x) {
  return 1.0 / (1.0 + (4.0 * x) * (4.0 * x));
}
static double exponential(double x) {
  return std::exp(-4.0 * std::log(2.0) * std::fabs(x));
}

const shapeinfo shapes[] = {
    {0, "copy", false, true, noreach, flat},
    {1, "boxcar", true, true, halfwidth, flat},
    {2, "Gaussian", true, false, twowidths, gaussian},
    {3, "triangle", true, false, trianglereach, triangle},
    {4, "Lorentzian", true, false, threewidths, lorentzian},
    {5, "exponential", true, false, twowidths, exponential},
};
const int nshapes = sizeof shapes / sizeof shapes[0];

const shapeinfo* findshape(int smoothfunc) {
  return smoothfunc >= 0 && smoothfunc < nshapes ? &shapes[smoothfunc]
                                                 : nullptr;
}

shape shapeof(const options& opt) {
  const shapeinfo* info = findshape(opt.smoothfunc);
  const auto uw = static_cast<std::uint32_t>(opt.winsize);
  return {info, uw, info->reach(uw)};
}

double weightof(const shape& sh, std::uint32_t d) {
  // A constant weight never divides, so winsize 0 still averages.
  if (sh.info->constantweight)
    return 1.0;
  // Distance in units of winsize; winsize 0 makes it 0 / 0 at distance 0.
  return sh.info->weight(static_cast<double>(d) /
                         static_cast<double>(sh.winsize));
}

// The end of the run of rows from i on whose positions never drop, within
// the rows before end.
static long runfrom(const std::int32_t* pos, long end, long i) {
  long e = i + 1;
  while (e < end && pos[e] >= pos[e - 1])
    ++e;
  return e;
}

// Sets the walk's series to the one that begins at or holds row i.
static void seriesat(windowwalk* walk, long i) {
  const rowset& rows = walk->rows;
  if (rows.nstarts == 0) {
    walk->from = 0;
    walk->to = rows.n;
    return;
  }
  const long* s = std::upper_bound(rows.starts, rows.starts + rows.nstarts, i);
  walk->series = s - rows.starts - 1;
  walk->from = rows.starts[walk->series];
  walk->to = s < rows.starts + rows.nstarts ? *s : rows.n;
}

// Learns the walk's run on past row j, or that it ends before: a stretch
// of rows at a time, each twice the last, so that the rows are looked at
// once, and only as far as the windows come.
static void learnrun(windowwalk* walk, long j) {
  while (!walk->runended && walk->runend <= j) {
    const long stop = std::min(walk->to, walk->runend + walk->stretch);
    const long e = runfrom(walk->rows.pos, stop, walk->runend - 1);
    walk->runended = e < stop || e == walk->to;
    walk->runend = e;
    walk->stretch *= 2;
  }
}

// Knows of the run that holds row i only that i is in it.
static void runholds(windowwalk* walk, long i) {
  walk->runend = i + 1;
  walk->runended = i + 1 == walk->to;
  walk->stretch = 64;
}

windowwalk walkwindows(const rowset& rows, std::uint32_t reach, long i) {
  windowwalk walk;
  walk.rows = rows;
  walk.reach = reach;
  seriesat(&walk, i);
  const std::int32_t* pos = rows.pos;
  // Back to the start of i's run, or to a row of it beyond i's reach: no
  // later row of the run reaches behind that one either.
  walk.runstart = i;
  while (walk.runstart > walk.from &&
         pos[walk.runstart - 1] <= pos[walk.runstart]) {
    --walk.runstart;
    if (static_cast<std::uint32_t>(pos[i]) -
            static_cast<std::uint32_t>(pos[walk.runstart]) > reach)
      break;
  }
  runholds(&walk, i);
  walk.lo = walk.runstart;
  walk.hi = i;
  return walk;
}

void windowof(windowwalk* walk, long i, long* first, long* last) {
  const std::int32_t* pos = walk->rows.pos;
  if (i == walk->to)
    seriesat(walk, i);
  learnrun(walk, i);
  if (i == walk->runend) {
    walk->runstart = walk->lo = walk->hi = i;
    runholds(walk, i);
  }
  const auto here = static_cast<std::uint32_t>(pos[i]);
  auto at = [pos](long j) { return static_cast<std::uint32_t>(pos[j]); };
  // Within the run no position lies on the wrong side of pos[i], so the
  // distances grow steadily away from i, and past the run's ends the scans
  // go on one row at a time, as far as the series goes.
  while (here - at(walk->lo) > walk->reach)
    ++walk->lo;
  long j = walk->lo;
  if (j == walk->runstart)
    while (j > walk->from && here - at(j - 1) <= walk->reach)
      --j;
  *first = j;
  for (;;) {
    while (walk->hi < walk->runend && at(walk->hi) - here <= walk->reach)
      ++walk->hi;
    if (walk->hi < walk->runend || walk->runended)
      break;
    learnrun(walk, walk->hi);
  }
  j = walk->hi - 1;
  if (walk->hi == walk->runend)
    while (j + 1 < walk->to && at(j + 1) - here <= walk->reach)
      ++j;
  *last = j;
}
