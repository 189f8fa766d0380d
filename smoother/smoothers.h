// The window smoothers: functions 1 to 5 (boxcar, Gaussian, triangle,
// Lorentzian, exponential).
#pragma once

#include <cstdint>

#include "smoother/messages.h"
#include "smoother/table.h"

// Fills LRout[0..n) with the weighted means of LR over each row's window
// for opt.smoothfunc 1 to 5, and dLRout[0..n) with their propagated errors
// when opt.outopt is 2 (from dLR, or from opt.stddev when dLR is null): the
// plain evaluation, one column at a time. Does nothing when n is 0 or
// less.
void smoothcolumn(const options& opt, const std::int32_t* pos,
                  const double* LR, const double* dLR, double* LRout,
                  double* dLRout, int n);

// Fills LRout and, when opt.outopt is 2, dLRout of every data column of tab
// with the same bits as smoothcolumn, on every core the process may use
// (one, for a small table). The output arrays must be reserved. The rows
// are smoothed a chunk at a time, so that they can be written as they are
// done: smoothstart takes the memory its windows need, starts a thread for
// each further core and returns 0 at once, or -1 after writing the message
// when the memory cannot be had; smoothwait(r) returns once row r is
// smoothed in every column, smoothing rows itself rather than wait;
// smoothend ends the threads and smooths nothing more, since the rows left
// could only go to an output that has failed. A smoothing that starts must
// be ended before the next.
int smoothstart(const diag& dg, const options& opt, table* tab);
void smoothwait(int r);
void smoothend();

// The vector units the sums can run on, narrowest first. Each one sums in
// the same order, with the same bits.
enum class vectorunit { generic, avx2, avx512 };

// The widest unit that this build has and this machine runs.
vectorunit widestunit();

// The whole smoothing on nthreads threads in all, the caller counted (at
// least 1, at most one per row and 64 in all), on the given vector unit,
// which must be no wider than widestunit().
void smoothtable(const options& opt, table* tab, int nthreads,
                 vectorunit unit);
