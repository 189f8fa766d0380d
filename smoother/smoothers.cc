#include "smoother/smoothers.h"

#include <cmath>

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
