// The window smoothers: functions 1 to 5 (boxcar, Gaussian, triangle,
// Lorentzian, exponential).
#pragma once

#include <cstdint>

#include "smoother/table.h"

// Fills LRout[0..n) with the weighted means of LR over each row's window
// for smoothfunc 1 to 5, and dLRout[0..n) with their propagated errors when
// opt.outopt is 2 (from dLR, or from opt.stddev when dLR is null). Does
// nothing when n is 0 or less, or for any other smoothfunc.
void smoothcolumn(int smoothfunc, const options& opt, const std::int32_t* pos,
                  const double* LR, const double* dLR, double* LRout,
                  double* dLRout, int n);

// Returns the reach of window function smoothfunc (1 to 5) for winsize read
// as unsigned 32 bits: the greatest distance a scan still takes; 0 for any
// other smoothfunc.
std::uint32_t reachof(int smoothfunc, int winsize);

// Returns the weight that function smoothfunc (1 to 5) gives a neighbour at
// unsigned distance d, winsize read as unsigned 32 bits; 0 for any other
// smoothfunc.
double weightof(int smoothfunc, std::uint32_t d, int winsize);

// Sets *first and *last to the bounds of the rows of pos[0..n) that row i's
// window of the given reach takes: the backward and the forward scan from i,
// each ending at its first row farther than reach from pos[i] as an unsigned
// 32-bit distance. Needs 0 <= i < n.
void window(const std::int32_t* pos, int n, int i, std::uint32_t reach,
            int* first, int* last);

// Fills LRout and, when opt.outopt is 2, dLRout of every data column of tab
// with the same bits as smoothcolumn, finding each row's window and weights
// once for all columns. The output arrays must be reserved.
void smoothtable(int smoothfunc, const options& opt, table* tab);
