#include "smoother/plan.h"

#include <algorithm>

// The text a chunk aims at: enough that taking it costs a thread nothing
// to speak of, little enough that the chunks in flight, read, smoothed and
// printed, stay small. A copy's are smaller, as there is no window to
// read ahead for.
constexpr std::uint64_t chunkbytes = 128 << 10;
constexpr std::uint64_t copychunkbytes = 32 << 10;

// Rows a chunk takes: whole blocks of lines of the table's mean length,
// from one block to eight, and no more rows than the table has.
static long rowsperchunk(const table& tab, bool smooths) {
  const long n = tab.nrows;
  const std::uint64_t line =
      n > 0 ? std::max<std::uint64_t>(1, tab.copybytes / n) : 1;
  const auto blocks = static_cast<long>(
      (smooths ? chunkbytes : copychunkbytes) / line / blockrows);
  const long rows = std::clamp(blocks, 1L, 8L) * blockrows;
  return std::max(1L, std::min(rows, n));
}

bool makeplan(const table& tab, const shape& sh, int nthreads, plan* pl) {
  const long n = tab.nrows;
  const long chunkrows = rowsperchunk(tab, sh.info->smooths);
  const long nchunks = (n + chunkrows - 1) / chunkrows;
  pl->chunkrows = chunkrows;
  pl->nchunks = nchunks;
  pl->nthreads =
      static_cast<int>(std::max(1L, std::min<long>(nthreads, nchunks)));
  pl->ahead = 2L * pl->nthreads - 1;
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

long chunksneeded(const plan& pl, long w) {
  const long rows = pl.readyat[std::min(w + pl.ahead, pl.nchunks - 1)];
  return (rows + pl.chunkrows - 1) / pl.chunkrows;
}

std::uint64_t chunkat(const plan& pl, const table& tab, long c,
                      std::size_t* size) {
  // A chunk is whole blocks, unless it is the one chunk of a short table.
  const std::uint64_t at = tab.blocks[c * pl.chunkrows / blockrows].at;
  const std::uint64_t end =
      c + 1 < pl.nchunks ? tab.blocks[(c + 1) * pl.chunkrows / blockrows].at
                         : tab.copybytes;
  *size = static_cast<std::size_t>(end - at);
  return at;
}
