// The window smoothers: functions 1 to 5 (boxcar, Gaussian, triangle,
// Lorentzian, exponential).
#pragma once

#include <cstdint>

#include "smoother/table.h"

// Fills LRout[0..n) with the weighted means of LR over each row's window
// for smoothfunc 1 to 5, and dLRout[0..n) with their propagated errors when
// opt.outopt is 2 (from dLR, or from opt.stddev when dLR is null). Does
// nothing when n is 0 or less.
void smoothcolumn(int smoothfunc, const options& opt, const std::int32_t* pos,
                  const double* LR, const double* dLR, double* LRout,
                  double* dLRout, int n);
