// The smoothing functions and the window rule: the table of window shapes
// (each one's number, name, reach and weight), which rows a row's window
// takes, and the weight of each.
#pragma once

#include <cstdint>

#include "smoother/options.h"

// A smoothing function. Function 0 copies the values; every other one is
// a window shape: the rows within its reach of a row's position, each
// weighted by its distance.
struct shapeinfo {
  int smoothfunc;
  const char* name;
  bool smooths;         // false for the copy alone
  bool constantweight;  // every row in reach weighs 1, at any winsize
  // The greatest distance a scan takes, for a window width read unsigned:
  // a reach beyond 32 bits wraps.
  std::uint32_t (*reach)(std::uint32_t winsize);
  // The weight K(x) of a row at x = distance / winsize. Every weight and
  // sum is written as the exact expression whose bits the program prints:
  // evaluated in double, left to right, never contracted into fused
  // multiply-adds (the build passes -ffp-contract=off).
  double (*weight)(double x);
};

// Every smoothing function, function f at index f.
extern const shapeinfo shapes[];
extern const int nshapes;

// The function numbered smoothfunc, or null when there is none.
const shapeinfo* findshape(int smoothfunc);

// A shape with its width, as a run uses it.
struct shape {
  const shapeinfo* info;
  std::uint32_t winsize;
  std::uint32_t reach;
};

// The shape that opt asks for, whose function must exist.
shape shapeof(const options& opt);

// The weight of a neighbour at unsigned distance d.
double weightof(const shape& sh, std::uint32_t d);

// Remembers weights by distance: on a regular grid of positions nearly
// every distance comes again. A weight is a pure function of its distance,
// so the bits are the same either way.
constexpr int cachebits = 12;
struct weightcache {
  // A slot's distance and weight lie together, in one cache line.
  struct slot {
    double weight;
    std::uint32_t distance;
    std::uint32_t used;
  };
  slot slots[1 << cachebits] = {};
};

// weightof(sh, d), from the cache when it holds it.
inline double cachedweight(weightcache* cache, const shape& sh,
                           std::uint32_t d) {
  // The top bits of d times 2^32 over the golden ratio: distances on a
  // grid of any spacing spread evenly over the slots.
  weightcache::slot& slot = cache->slots[(d * 2654435761u) >> (32 - cachebits)];
  if (slot.used && slot.distance == d)
    return slot.weight;
  slot = {weightof(sh, d), d, 1};
  return slot.weight;
}

// The rows that windows are found among: their positions, and the first
// row of each series when windows stop at series (starts is null without).
struct rowset {
  const std::int32_t* pos;
  long n;
  const long* starts = nullptr;  // in order, the first 0
  long nstarts = 0;
};

// Finds the windows of rows in increasing order. Row i's window runs back
// from i - 1 and forward from i, each scan ending at the first row whose
// distance from pos[i] (the difference of the positions in wrapping 32-bit
// arithmetic, read as unsigned) passes the reach, so that a row on the
// wrong side of pos[i] ends a scan, or at the end of i's series. Where
// positions climb, both ends only ever move forward, and finding a window
// costs next to nothing.
struct windowwalk {
  rowset rows;
  std::uint32_t reach;
  long series = 0;  // i's series: starts[series], or 0 without any
  long from = 0;    // the rows of i's series: [from, to)
  long to = 0;
  // The rows [runstart, runend) hold i and never drop; the run goes on
  // past runend unless it ended there. Its end is learnt a stretch at a
  // time, as the windows come near it: a run can be a whole series long.
  long runstart = 0;
  long runend = 0;
  bool runended = false;
  long stretch = 0;
  long lo = 0;  // the first row of the run within reach behind i
  long hi = 0;  // the first row of the run beyond reach ahead of i
};

// Starts a walk whose first row is i.
windowwalk walkwindows(const rowset& rows, std::uint32_t reach, long i);

// Sets [*first, *last] to row i's window: i is the walk's first row, or
// the row after the last one asked for.
void windowof(windowwalk* walk, long i, long* first, long* last);
