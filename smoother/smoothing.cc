#include "smoother/smoothing.h"

#include <algorithm>
#include <cstdlib>

#include "smoother/windows.h"

bool makeplan(const table& tab, std::uint32_t reach, int nthreads,
              plan* pl) {
  const long n = tab.nrows;
  const long nchunks = (n + chunkrows - 1) / chunkrows;
  pl->nchunks = nchunks;
  pl->ahead = 2L * nthreads - 1;
  const auto size = static_cast<std::size_t>(nchunks + 1) * sizeof(long);
  if (!(pl->reachfrom = static_cast<long*>(std::malloc(size))) ||
      !(pl->readyat = static_cast<long*>(std::malloc(size))))
    return false;
  // Each chunk's lowest first row and highest last row of its windows.
  windowwalk walk = walkwindows(tab.pos, n, reach, 0);
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
  // The most rows and text kept at once: while chunk w is written, from
  // the lowest row a window still takes, or from w's first row for the
  // text, up to the rows chunk w + ahead needs.
  pl->bandrows = 1;
  pl->textbytes = 0;
  std::size_t bytes = 0;  // of the chunks [w, upto)
  long upto = 0;
  for (long w = 0; w < nchunks; ++w) {
    const long need = pl->readyat[std::min(w + pl->ahead, nchunks - 1)];
    for (; upto * chunkrows < need; ++upto)
      bytes += tab.chunks[upto].bytes;
    if (need - pl->reachfrom[w] > pl->bandrows) {
      pl->bandrows = need - pl->reachfrom[w];
      pl->widest = w;
    }
    pl->textbytes = std::max(pl->textbytes, bytes);
    bytes -= tab.chunks[w].bytes;
  }
  // Room to go round the ring's end, which may leave the end's bytes
  // unused, with a line of the longest.
  pl->textbytes += 2 * (tab.longest + 2);
  return true;
}

bool smoothingstart(smoothing* sm, const table& tab, const options& opt,
                    int nthreads, vectorunit unit) {
  const shape sh = shapeof(opt);
  const layout& lay = tab.lay;
  sm->ks = {sh,
            tab.pos,
            tab.nrows,
            opt.outopt == 2,
            opt.outopt == 2 && lay.nerr < lay.nLR,
            opt.missing == 1,
            opt.stddev,
            lay.errindex,
            unit};
  if (!makeplan(tab, sh.reach, nthreads, &sm->pl) ||
      !bandreserve(&sm->bd, lay, sm->pl.bandrows))
    return false;
  sm->started = true;
  return schedstart(&sm->sc, sm->pl, sm->ks, sm->bd, nthreads);
}

long smoothingwants(const smoothing* sm) {
  const plan& pl = sm->pl;
  if (sm->writing >= pl.nchunks)
    return -1;
  const long need = pl.readyat[std::min(sm->writing + pl.ahead,
                                        pl.nchunks - 1)];
  return sm->parsed < need ? sm->parsed : -1;
}

void smoothingread(smoothing* sm) {
  const plan& pl = sm->pl;
  ++sm->parsed;
  // The threads hear of each chunk as soon as its windows are all read.
  if (sm->ready == pl.nchunks || sm->parsed < pl.readyat[sm->ready])
    return;
  while (sm->ready < pl.nchunks && pl.readyat[sm->ready] <= sm->parsed)
    ++sm->ready;
  schedparsed(&sm->sc, sm->parsed);
}

bool smoothingnext(smoothing* sm, long* first, long* end,
                   const double** LRout, const double** dLRout) {
  if (sm->writing >= sm->pl.nchunks)
    return false;
  schedwait(&sm->sc, sm->writing, LRout, dLRout);
  *first = sm->writing * chunkrows;
  *end = std::min(sm->ks.n, *first + chunkrows);
  return true;
}

void smoothingwritten(smoothing* sm) {
  schedwritten(&sm->sc, sm->writing);
  ++sm->writing;
}

void smoothingend(smoothing* sm) {
  if (sm->started)
    schedend(&sm->sc);
  schedrelease(&sm->sc);
  for (void* block : {static_cast<void*>(sm->pl.reachfrom),
                      static_cast<void*>(sm->pl.readyat),
                      static_cast<void*>(sm->bd.values),
                      static_cast<void*>(sm->bd.errors)})
    std::free(block);
}
