#include "smoother/scheduler.h"

#include <algorithm>
#include <cstdlib>
#include <new>

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
  const long cells = chunkrows * sc->bd->ncols;
  double* LRout = sc->results + c % (sc->pl->ahead + 1) * 2 * cells;
  *dLRout = LRout + cells;
  return LRout;
}

// Smooths chunk c a tile at a time and tells pass 2. Gives up between
// tiles once the output has failed: the rows left would be smoothed for
// no one.
static void smoothchunk(scheduler* sc, long c, tilescratch* s) {
  const kernelsetup& ks = *sc->ks;
  const long i0 = c * chunkrows;
  const long end = std::min(ks.n, i0 + chunkrows);
  double* dLRout;
  double* LRout = slotof(sc, c, &dLRout);
  windowwalk walk = walkwindows(ks.pos, ks.n, ks.sh.reach, i0);
  for (long i = i0; i < end; i += tilerows) {
    if (sc->stop.load(std::memory_order_relaxed))
      return;
    const long at = (i - i0) * sc->bd->ncols;
    smoothtile(ks, *sc->bd, &walk, s, i,
               static_cast<int>(std::min<long>(tilerows, end - i)),
               LRout + at, dLRout + at);
  }
  std::atomic<long>& done = sc->done[c % (sc->pl->ahead + 1)];
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
                const band& bd, int nthreads) {
  sc->pl = &pl;
  sc->ks = &ks;
  sc->bd = &bd;
  const long slots = pl.ahead + 1;
  const auto cells = static_cast<std::size_t>(slots * 2 * chunkrows) *
                     static_cast<std::size_t>(bd.ncols);
  void* done = std::malloc(static_cast<std::size_t>(slots) *
                           sizeof(std::atomic<long>));
  sc->results = static_cast<double*>(std::malloc(cells * sizeof(double) + 1));
  sc->threads = static_cast<pthread_t*>(
      std::malloc(static_cast<std::size_t>(nthreads) * sizeof(pthread_t)));
  sc->scratches = static_cast<tilescratch**>(std::calloc(
      static_cast<std::size_t>(nthreads) + 1, sizeof(tilescratch*)));
  sc->workers = static_cast<worker*>(
      std::malloc(static_cast<std::size_t>(nthreads) * sizeof(worker)));
  sc->done = static_cast<std::atomic<long>*>(done);
  if (!done || !sc->results || !sc->threads || !sc->scratches ||
      !sc->workers ||
      !(sc->scratches[0] = newtilescratch(bd)))
    return false;
  for (long s = 0; s < slots; ++s)
    new (&sc->done[s]) std::atomic<long>(-1);
  // Small stacks: a thread holds only a tile's local sums on its own.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  for (int t = 1; t < nthreads; ++t) {
    tilescratch* s = newtilescratch(bd);
    sc->workers[t] = {sc, s};
    if (!s || pthread_create(&sc->threads[sc->nthreads], &attr, work,
                             &sc->workers[t]) != 0) {
      std::free(s);
      break;
    }
    sc->scratches[++sc->nthreads] = s;
  }
  pthread_attr_destroy(&attr);
  return true;
}

// Wakes the threads that wait for rows or a free slot.
static void wake(scheduler* sc) {
  sc->moved.fetch_add(1, std::memory_order_release);
  sc->moved.notify_all();
}

void schedparsed(scheduler* sc, long parsed) {
  sc->parsed.store(parsed, std::memory_order_release);
  wake(sc);
}

void schedwait(scheduler* sc, long c, const double** LRout,
               const double** dLRout) {
  std::atomic<long>& done = sc->done[c % (sc->pl->ahead + 1)];
  for (;;) {
    const long finished = done.load(std::memory_order_acquire);
    if (finished == c)
      break;
    if (!taketurn(sc, sc->scratches[0]))
      done.wait(finished, std::memory_order_acquire);
  }
  double* errors;
  *LRout = slotof(sc, c, &errors);
  *dLRout = errors;
}

void schedwritten(scheduler* sc, long c) {
  sc->writing.store(c + 1, std::memory_order_release);
  wake(sc);
}

void schedend(scheduler* sc) {
  sc->stop.store(true, std::memory_order_relaxed);
  wake(sc);
  for (int t = 0; t < sc->nthreads; ++t)
    pthread_join(sc->threads[t], nullptr);
  sc->nthreads = 0;
}

void schedrelease(scheduler* sc) {
  for (int t = 0; sc->scratches && sc->scratches[t]; ++t)
    std::free(sc->scratches[t]);
  for (void* block : {static_cast<void*>(sc->scratches),
                      static_cast<void*>(sc->workers),
                      static_cast<void*>(sc->threads),
                      static_cast<void*>(sc->results),
                      static_cast<void*>(sc->done)})
    std::free(block);
}
