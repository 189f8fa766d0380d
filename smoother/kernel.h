// The summing kernel: the weighted means, and their errors, of a tile of
// rows in every column at once, from the band.
#pragma once

#include <cstdint>
#include <memory>

#include "smoother/band.h"
#include "smoother/outwatch.h"
#include "smoother/windows.h"

// The vector units the sums can run on, narrowest first. Each one sums in
// the same order, with the same bits.
enum class vectorunit { generic, avx2, avx512 };

// The widest unit that this build has and this machine runs.
vectorunit widestunit();

// Rows smoothed together: their windows mostly overlap, so each value the
// tile's windows take is loaded from memory once for all of them.
constexpr int tilerows = 32;

// What every tile of one smoothing reads.
struct kernelsetup {
  shape sh;
  rowset rows;
  bool errors;       // outopt 2: the errors are summed too
  bool withstddev;   // with errors, some column's come from stddev
  bool missing;      // missing values are not-a-number in the band
  double stddev;
  const int* errindex;  // each data column's error column, or -1
  vectorunit unit;   // no wider than widestunit()
  outwatch* watch;   // once its reader has gone, sums stop; or null
};

// One thread's room for a tile: its weights and sums.
struct tilescratch;
struct tilescratchfree {
  void operator()(tilescratch* s) const;
};
using tileroom = std::unique_ptr<tilescratch, tilescratchfree>;

// A tile's room for the columns of b as ks sums them. Null when the
// memory cannot be had.
tileroom newtilescratch(const kernelsetup& ks, const band& b);

// Smooths the rows [i0, i0 + count) of b, count at most tilerows, whose
// windows walk gives in turn: stores each one's mean in every column at
// LRout + r * b.ncols and, with errors, its error at dLRout + r * b.ncols,
// r being its place in the tile. Every row its windows take must be in b.
// Once the output's reader has gone it stops between segments, leaving
// the sums unfinished.
void smoothtile(const kernelsetup& ks, const band& b, windowwalk* walk,
                tilescratch* s, long i0, int count, double* LRout,
                double* dLRout);

// Copies the rows [i0, i0 + count) of b, as smoothtile stores its means
// and errors: each value, and its error from its error column, from
// stddev, or not-a-number for a missing value.
void copytile(const kernelsetup& ks, const band& b, long i0, int count,
              double* LRout, double* dLRout);
