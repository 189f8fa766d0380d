#include "smoother/plan.h"

#include <algorithm>

bool makeplan(const table& tab, const shape& sh, int nthreads, plan* pl) {
  const long n = tab.nrows;
  // A smoothing's chunk is large enough that taking it costs a thread
  // nothing to speak of; a copy's is small, as it is written as soon as it
  // is read. No chunk has room for rows the table does not have.
  const long chunkrows =
      std::max(1L, std::min(sh.info->smooths ? 8 * blockrows : blockrows, n));
  const long nchunks = (n + chunkrows - 1) / chunkrows;
  pl->chunkrows = chunkrows;
  pl->nchunks = nchunks;
  pl->nthreads = static_cast<int>(std::max(1L, std::min<long>(nthreads,
                                                              nchunks)));
  // A copy is written as soon as it is read.
  pl->ahead = sh.info->smooths ? 2L * pl->nthreads - 1 : 0;
  const auto size = static_cast<std::size_t>(nchunks);
  if (!(pl->reachfrom = allocate<long>(size)) ||
      !(pl->readyat = allocate<long>(size)))
    return false;
  // A copy takes each row alone.
  if (!sh.info->smooths) {
    for (long c = 0; c < nchunks; ++c) {
      pl->reachfrom[c] = c * chunkrows;
      pl->readyat[c] = std::min(n, (c + 1) * chunkrows);
    }
    return true;
  }
  // Each chunk's lowest first row and highest last row of its windows.
  windowwalk walk = walkwindows(rowsof(tab), sh.reach, 0);
  for (long i = 0; i < n; ++i) {
    long first;
    long last;
    windowof(&walk, i, &first, &last);
    const long c = i / chunkrows;
    const bool opens = i % chunkrows == 0;
    pl->reachfrom[c] = opens ? first : std::min(pl->reachfrom[c], first);
    pl->readyat[c] = opens ? last + 1 : std::max(pl->readyat[c], last + 1);
  }
  for (long c = 1; c < nchunks; ++c)
    pl->readyat[c] = std::max(pl->readyat[c], pl->readyat[c - 1]);
  for (long c = nchunks - 2; c >= 0; --c)
    pl->reachfrom[c] = std::min(pl->reachfrom[c], pl->reachfrom[c + 1]);
  return true;
}

long rowsneeded(const plan& pl, long w) {
  return pl.readyat[std::min(w + pl.ahead, pl.nchunks - 1)];
}
