#include "smoother/scheduler.h"

#include <algorithm>

// True when chunk c may be smoothed now: its windows are in the band and
// its result slot is free.
static bool takeable(const scheduler* sc, long c) {
  return c < sc->pl->nchunks &&
         c <= sc->writing.load(std::memory_order_acquire) + sc->pl->ahead &&
         sc->pl->readyat[c] <= sc->parsed.load(std::memory_order_acquire);
}

// Where chunk c's means are, a row of one per data column after another;
// its errors follow them.
static double* slotof(const scheduler* sc, long c, double** dLRout) {
  const long cells = sc->pl->chunkrows * sc->bd->ncols;
  double* LRout = sc->results.get() + c % sc->nslots * 2 * cells;
  *dLRout = LRout + cells;
  return LRout;
}

// Wakes the threads that wait for rows or a free slot.
static void wake(scheduler* sc) {
  sc->moved.fetch_add(1, std::memory_order_release);
  sc->moved.notify_all();
}

// Stops the smoothing: no chunk is taken any more, and pass 2, if it
// waits for one, goes on.
static void halt(scheduler* sc) {
  sc->stop.store(true, std::memory_order_relaxed);
  for (long s = 0; s < sc->nslots; ++s) {
    sc->done[s].store(-2, std::memory_order_release);
    sc->done[s].notify_all();
  }
  wake(sc);
}

// True once the smoothing has stopped, or the output's reader has gone,
// which stops it: the rows left would be smoothed for no one.
static bool halted(scheduler* sc) {
  if (sc->stop.load(std::memory_order_relaxed))
    return true;
  if (!sc->ks->watch || !outgone(sc->ks->watch))
    return false;
  halt(sc);
  return true;
}

// Smooths chunk c a tile at a time and tells pass 2. Gives up between
// tiles once the smoothing has stopped.
static void smoothchunk(scheduler* sc, long c, tilescratch* s) {
  const kernelsetup& ks = *sc->ks;
  const long i0 = c * sc->pl->chunkrows;
  const long end = std::min(ks.rows.n, i0 + sc->pl->chunkrows);
  double* dLRout;
  double* LRout = slotof(sc, c, &dLRout);
  windowwalk walk = walkwindows(ks.rows, ks.sh.reach, i0);
  for (long i = i0; i < end; i += tilerows) {
    if (halted(sc))
      return;
    const long at = (i - i0) * sc->bd->ncols;
    const int count = static_cast<int>(std::min<long>(tilerows, end - i));
    if (ks.sh.info->smooths)
      smoothtile(ks, *sc->bd, &walk, s, i, count, LRout + at, dLRout + at);
    else
      copytile(ks, *sc->bd, i, count, LRout + at, dLRout + at);
  }
  std::atomic<long>& done = sc->done[c % sc->nslots];
  done.store(c, std::memory_order_release);
  done.notify_all();
}

// Takes the next chunk if it may be smoothed now, and smooths it. False
// when it may not.
static bool taketurn(scheduler* sc, tilescratch* s) {
  long c = sc->next.load(std::memory_order_relaxed);
  if (!takeable(sc, c))
    return false;
  if (sc->next.compare_exchange_strong(c, c + 1))
    smoothchunk(sc, c, s);
  return true;
}

static void* work(void* arg) {
  const worker* wk = static_cast<const worker*>(arg);
  scheduler* sc = wk->sc;
  for (;;) {
    const unsigned seen = sc->moved.load(std::memory_order_acquire);
    if (sc->stop.load(std::memory_order_relaxed) ||
        sc->next.load(std::memory_order_relaxed) >= sc->pl->nchunks)
      return nullptr;
    if (!taketurn(sc, wk->s))
      sc->moved.wait(seen, std::memory_order_acquire);
  }
}

bool schedstart(scheduler* sc, const plan& pl, const kernelsetup& ks,
                const band& b) {
  sc->pl = &pl;
  sc->ks = &ks;
  sc->bd = &b;
  // No more slots than chunks: a table of a few rows takes one.
  sc->nslots = std::max(1L, std::min(pl.ahead + 1, pl.nchunks));
  const auto slots = static_cast<std::size_t>(sc->nslots);
  const int nthreads = pl.nthreads;
  const auto threads = static_cast<std::size_t>(nthreads);
  const auto chunkcells = static_cast<std::size_t>(pl.chunkrows) *
                          static_cast<std::size_t>(b.ncols);
  if (!(sc->results = allocate<double>(slots * 2 * chunkcells)) ||
      !(sc->done = allocate<std::atomic<long>>(slots)) ||
      !(sc->rooms = allocate<tileroom>(threads)) ||
      !(sc->workers = allocate<worker>(threads)) ||
      !(sc->threads = allocate<pthread_t>(threads)))
    return false;
  for (std::size_t s = 0; s < slots; ++s)
    sc->done[s].store(-1, std::memory_order_relaxed);
  // A copy sums nothing.
  if (!ks.sh.info->smooths)
    return true;
  if (!(sc->rooms[0] = newtilescratch(ks, b)))
    return false;
  // Small stacks: a thread holds only a tile's local sums on its own.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  for (int t = 1; t < nthreads; ++t) {
    if (!(sc->rooms[t] = newtilescratch(ks, b)))
      break;
    sc->workers[t] = {sc, sc->rooms[t].get()};
    if (pthread_create(&sc->threads[sc->nthreads], &attr, work,
                       &sc->workers[t]) != 0)
      break;
    ++sc->nthreads;
  }
  pthread_attr_destroy(&attr);
  return true;
}

long schedwants(scheduler* sc) {
  const long writing = sc->writing.load(std::memory_order_relaxed);
  if (writing >= sc->pl->nchunks || halted(sc))
    return -1;
  const long parsed = sc->parsed.load(std::memory_order_relaxed);
  return parsed < rowsneeded(*sc->pl, writing) ? parsed : -1;
}

void schedread(scheduler* sc) {
  const plan& pl = *sc->pl;
  const long parsed = sc->parsed.load(std::memory_order_relaxed) + 1;
  sc->parsed.store(parsed, std::memory_order_release);
  // The threads hear of each chunk as soon as its windows are all read.
  if (sc->ready == pl.nchunks || parsed < pl.readyat[sc->ready])
    return;
  while (sc->ready < pl.nchunks && pl.readyat[sc->ready] <= parsed)
    ++sc->ready;
  wake(sc);
}

bool schednext(scheduler* sc, chunkdone* out) {
  const long c = sc->writing.load(std::memory_order_relaxed);
  if (c >= sc->pl->nchunks)
    return false;
  std::atomic<long>& done = sc->done[c % sc->nslots];
  for (;;) {
    if (halted(sc))
      return false;
    const long finished = done.load(std::memory_order_acquire);
    if (finished == c)
      break;
    if (!taketurn(sc, sc->rooms[0].get()))
      done.wait(finished, std::memory_order_acquire);
  }
  double* dLRout;
  out->LRout = slotof(sc, c, &dLRout);
  out->dLRout = dLRout;
  out->first = c * sc->pl->chunkrows;
  out->end = std::min(sc->ks->rows.n, out->first + sc->pl->chunkrows);
  return true;
}

void schedwritten(scheduler* sc) {
  sc->writing.fetch_add(1, std::memory_order_release);
  wake(sc);
}

void schedend(scheduler* sc) {
  sc->stop.store(true, std::memory_order_relaxed);
  wake(sc);
  for (int t = 0; t < sc->nthreads; ++t)
    pthread_join(sc->threads[t], nullptr);
  sc->nthreads = 0;
}

scheduler::~scheduler() { schedend(this); }
