#include "smoother/scheduler.h"

#include <algorithm>

#include "smoother/lines.h"

// Wakes the threads that wait for work.
static void wake(scheduler* sc) {
  sc->moved.fetch_add(1, std::memory_order_release);
  sc->moved.notify_all();
}

// Stops the smoothing: no task is taken any more, and pass 2, if it waits
// for a chunk, goes on.
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

// The rows of chunk c: [first, end).
static long chunkrows(const scheduler* sc, long c, long* end) {
  const long first = c * sc->pl->chunkrows;
  *end = std::min(sc->ks->rows.n, first + sc->pl->chunkrows);
  return first;
}

// Stops the smoothing because the copy could not be read back.
static void readfailed(scheduler* sc) {
  sc->failed.store(true, std::memory_order_relaxed);
  halt(sc);
}

// Reads chunk c's lines into its room, unless another thread has claimed
// them, and keeps each row's text; values tells whether to read its
// values too. Returns whether this thread read them; false too when the
// copy could not be read.
static bool claimtext(scheduler* sc, long c, bool values) {
  std::atomic<long>& text = sc->text[c % sc->bd->nrooms];
  long empty = -1;
  if (!text.compare_exchange_strong(empty, -2 - c, std::memory_order_acquire))
    return false;
  long end;
  const long first = chunkrows(sc, c, &end);
  std::size_t size;
  const std::uint64_t at = chunkat(*sc->pl, *sc->tab, c, &size);
  char* lines = bandroom(*sc->bd, c);
  if (!bandread(*sc->src, lines, size, at) ||
      !bandlines(sc->bd, *sc->src, first, end, lines, size, true, values)) {
    readfailed(sc);
    // A thread that waits for these lines wakes to find the halt.
    text.store(-1, std::memory_order_release);
    text.notify_all();
    return false;
  }
  text.store(c, std::memory_order_release);
  text.notify_all();
  return true;
}

// Reads chunk c's values, and tells the others how far the rows read in
// order go. A chunk with a room has its lines read there once, by this
// thread or the one reading its text; one without is read into the
// thread's own lines, for its values alone.
static void loadchunk(scheduler* sc, long c, char* scratch) {
  long end;
  const long first = chunkrows(sc, c, &end);
  band* b = sc->bd;
  // A copy prints its values from their text where it can, and reads
  // them only where it cannot, as it prints.
  const bool values = sc->ks->sh.info->smooths;
  if (c < sc->roomed.load(std::memory_order_acquire)) {
    if (!claimtext(sc, c, values) && values) {
      // Another thread reads the lines: wait for them, then their values.
      std::atomic<long>& text = sc->text[c % b->nrooms];
      for (long seen; (seen = text.load(std::memory_order_acquire)) != c;) {
        if (halted(sc))
          return;
        text.wait(seen, std::memory_order_acquire);
      }
      for (long j = first; j < end; ++j) {
        const std::string_view line = bandtext(*b, j);
        readvalues(*sc->src->lay, sc->src->missing,
                   line.substr(0, line.size() - 1), bandvalues(*b, j),
                   banderrors(*b, j));
      }
    }
  } else {
    std::size_t size;
    const std::uint64_t at = chunkat(*sc->pl, *sc->tab, c, &size);
    if (!bandread(*sc->src, scratch, size, at) ||
        !bandlines(b, *sc->src, first, end, scratch, size, false, values)) {
      readfailed(sc);
      return;
    }
  }
  if (halted(sc))
    return;
  // Chunks are read out of order: the first to see that the chunks up to
  // one more are read moves the count on. Two threads that finish next to
  // each other must not both miss the other's chunk, each looking before
  // its own mark shows, which would leave the count short for good: the
  // marks and the looks are sequentially consistent.
  sc->loaded[c % b->nreads].store(c);
  long upto = sc->readupto.load();
  while (upto < sc->admitted.load(std::memory_order_acquire) &&
         sc->loaded[upto % b->nreads].load() == upto) {
    if (sc->readupto.compare_exchange_weak(upto, upto + 1))
      ++upto;
  }
  wake(sc);
}

// Where slot s's means are, a row of one per data column after another;
// its errors follow them.
static double* resultsof(const scheduler* sc, long s, double** dLRout) {
  const long cells = sc->pl->chunkrows * sc->bd->ncols;
  double* LRout = sc->results.get() + s * 2 * cells;
  *dLRout = LRout + cells;
  return LRout;
}

// Reads row r's values from its line, which a copy leaves to be read as
// it prints, and copies them to its results at LRout and dLRout.
static void copyrow(const scheduler* sc, long r, double* LRout,
                    double* dLRout) {
  const band& b = *sc->bd;
  const std::string_view text = bandtext(b, r);
  readvalues(*sc->src->lay, sc->src->missing,
             text.substr(0, text.size() - 1), bandvalues(b, r),
             banderrors(b, r));
  copytile(*sc->ks, b, r, 1, LRout, dLRout);
}

// Smooths chunk c a tile at a time, prints its rows and tells pass 2.
// Gives up between tiles once the smoothing has stopped.
static void smoothchunk(scheduler* sc, long c, tilescratch* s) {
  const kernelsetup& ks = *sc->ks;
  long end;
  const long i0 = chunkrows(sc, c, &end);
  const long slot = c % sc->nslots;
  double* dLRout;
  double* LRout = resultsof(sc, slot, &dLRout);
  windowwalk walk = walkwindows(ks.rows, ks.sh.reach, i0);
  const band& b = *sc->bd;
  const bool copies = !ks.sh.info->smooths;
  for (long i = i0; i < end && !copies; i += tilerows) {
    if (halted(sc))
      return;
    const long at = (i - i0) * b.ncols;
    const int count = static_cast<int>(std::min<long>(tilerows, end - i));
    smoothtile(ks, b, &walk, s, i, count, LRout + at, dLRout + at);
  }
  // The rows printed here; a row whose values need more room than the
  // usual is left to pass 2, with those after it.
  char* const start = sc->printed.get() + slot * sc->printcap;
  char* const stop = start + sc->printcap;
  std::size_t* ends = sc->ends.get() + slot * sc->pl->chunkrows;
  long* nfields = sc->nfields.get() + slot * sc->pl->chunkrows;
  char* at = start;
  long r = i0;
  for (; r < end && at; ++r) {
    const std::string_view text = bandtext(b, r);
    const long cell = (r - i0) * b.ncols;
    char* printed = nullptr;
    if (copies) {
      if (halted(sc))
        return;
      printed = printrow(*sc->wr, r, text.substr(0, text.size() - 1),
                         nullptr, nullptr, at, stop, &nfields[r - i0]);
      if (!printed)
        copyrow(sc, r, LRout + cell, dLRout + cell);
    }
    at = printed ? printed
                 : printrow(*sc->wr, r, text.substr(0, text.size() - 1),
                            LRout + cell, dLRout + cell, at, stop,
                            &nfields[r - i0]);
    if (at)
      ends[r - i0] = static_cast<std::size_t>(at - start);
  }
  sc->nprinted[slot] = at ? r - i0 : r - i0 - 1;
  // The rows left to pass 2 are printed from their values.
  for (; copies && r < end; ++r)
    copyrow(sc, r, LRout + (r - i0) * b.ncols, dLRout + (r - i0) * b.ncols);
  std::atomic<long>& done = sc->done[slot];
  done.store(c, std::memory_order_release);
  done.notify_all();
}

// True when chunk c may be smoothed now: the rows its windows take are
// read, its own lines are in its room, and its slot is free.
static bool smoothable(const scheduler* sc, long c) {
  const plan& pl = *sc->pl;
  return c < pl.nchunks &&
         c < sc->writing.load(std::memory_order_acquire) + sc->nslots &&
         pl.readyat[c] <=
             sc->readupto.load(std::memory_order_acquire) * pl.chunkrows &&
         sc->text[c % sc->bd->nrooms].load(std::memory_order_acquire) == c;
}

// Takes a task if there is one now, and does it: the next chunk to
// smooth, or else the next room whose lines to read, or else the next
// chunk's values to read. False when there is none.
static bool taketurn(scheduler* sc, tilescratch* s, char* lines) {
  long c = sc->next.load(std::memory_order_relaxed);
  if (smoothable(sc, c)) {
    if (sc->next.compare_exchange_strong(c, c + 1))
      smoothchunk(sc, c, s);
    return true;
  }
  long t = sc->nexttext.load(std::memory_order_relaxed);
  if (sc->bd->roomsahead > 0 &&
      t < sc->roomed.load(std::memory_order_acquire)) {
    if (sc->nexttext.compare_exchange_strong(t, t + 1) &&
        claimtext(sc, t, false))
      wake(sc);
    return true;
  }
  long l = sc->nextload.load(std::memory_order_relaxed);
  if (l < sc->admitted.load(std::memory_order_acquire)) {
    if (sc->nextload.compare_exchange_strong(l, l + 1))
      loadchunk(sc, l, lines);
    return true;
  }
  return false;
}

static void* work(void* arg) {
  const worker* wk = static_cast<const worker*>(arg);
  scheduler* sc = wk->sc;
  const long nchunks = sc->pl->nchunks;
  for (;;) {
    const unsigned seen = sc->moved.load(std::memory_order_acquire);
    if (sc->stop.load(std::memory_order_relaxed) ||
        (sc->next.load(std::memory_order_relaxed) >= nchunks &&
         sc->nextload.load(std::memory_order_relaxed) >= nchunks &&
         (sc->bd->roomsahead == 0 ||
          sc->nexttext.load(std::memory_order_relaxed) >= nchunks)))
      return nullptr;
    if (!taketurn(sc, wk->s, wk->lines))
      sc->moved.wait(seen, std::memory_order_acquire);
  }
}

// Thread t's room for a chunk's lines read for their values alone.
static char* linesof(const scheduler* sc, int t) {
  return sc->scratch ? sc->scratch.get() + t * chunkroom(*sc->bd) : nullptr;
}

bool schedstart(scheduler* sc, const plan& pl, const kernelsetup& ks,
                band* b, const copysource& src, const table& tab,
                const writer& wr) {
  sc->pl = &pl;
  sc->ks = &ks;
  sc->bd = b;
  sc->src = &src;
  sc->tab = &tab;
  sc->wr = &wr;
  sc->nslots = inflight(pl);
  const auto slots = static_cast<std::size_t>(sc->nslots);
  const auto rows = static_cast<std::size_t>(pl.chunkrows);
  // The most a chunk's lines take, printed with values of the usual size.
  sc->printcap = printroom(wr, pl.chunkrows, b->largest);
  // Threads beside the caller, which writes: its writes and their work
  // then go on together, and none of them waits for a turn of the other.
  const int nthreads = pl.nthreads > 1 ? pl.nthreads : 0;
  const auto threads = static_cast<std::size_t>(nthreads) + 1;
  if (sc->printcap > SIZE_MAX / 2 / slots ||
      !(sc->results = allocate<double>(slots * 2 * rows *
                                       static_cast<std::size_t>(b->ncols))) ||
      !(sc->printed = allocate<char>(slots * sc->printcap)) ||
      !(sc->ends = allocate<std::size_t>(slots * rows)) ||
      !(sc->nfields = allocate<long>(slots * rows)) ||
      !(sc->nprinted = allocate<long>(slots)) ||
      !(sc->done = allocate<std::atomic<long>>(slots)) ||
      !(sc->loaded = allocate<std::atomic<long>>(
            static_cast<std::size_t>(b->nreads))) ||
      !(sc->text = allocate<std::atomic<long>>(
            static_cast<std::size_t>(b->nrooms))) ||
      (b->roomsahead > 0 &&
       !(sc->scratch = allocate<char>(threads * chunkroom(*b)))) ||
      !(sc->rooms = allocate<tileroom>(threads)) ||
      !(sc->workers = allocate<worker>(threads)) ||
      !(sc->threads = allocate<pthread_t>(threads)))
    return false;
  for (std::size_t s = 0; s < slots; ++s)
    sc->done[s].store(-1, std::memory_order_relaxed);
  for (long r = 0; r < b->nreads; ++r)
    sc->loaded[r].store(-1, std::memory_order_relaxed);
  for (long r = 0; r < b->nrooms; ++r)
    sc->text[r].store(-1, std::memory_order_relaxed);
  // A copy sums nothing.
  const bool sums = ks.sh.info->smooths;
  if (sums && !(sc->rooms[0] = newtilescratch(ks, *b)))
    return false;
  // Small stacks: a thread holds only a tile's local sums on its own.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  for (int t = 1; t <= nthreads; ++t) {
    if (sums && !(sc->rooms[t] = newtilescratch(ks, *b)))
      break;
    sc->workers[t] = {sc, sc->rooms[t].get(), linesof(sc, t)};
    if (pthread_create(&sc->threads[sc->nthreads], &attr, work,
                       &sc->workers[t]) != 0)
      break;
    ++sc->nthreads;
  }
  pthread_attr_destroy(&attr);
  return true;
}

// Lets the chunks be read that the windows of the chunks up to the next to
// write plus the plan's reach ahead need, and gives those that the band
// keeps rooms for their rooms.
static void admit(scheduler* sc) {
  const long writing = sc->writing.load(std::memory_order_relaxed);
  const long need = chunksneeded(*sc->pl, writing);
  const long ahead = sc->bd->roomsahead;
  const long rooms = ahead > 0 ? std::min(need, writing + ahead) : need;
  long roomed = sc->roomed.load(std::memory_order_relaxed);
  if (sc->admitted.load(std::memory_order_relaxed) >= need && roomed >= rooms)
    return;
  for (; roomed < rooms; ++roomed) {
    std::size_t size;
    chunkat(*sc->pl, *sc->tab, roomed, &size);
    bandadmit(sc->bd, size);
    sc->text[roomed % sc->bd->nrooms].store(-1, std::memory_order_relaxed);
  }
  sc->roomed.store(roomed, std::memory_order_release);
  sc->admitted.store(need, std::memory_order_release);
  wake(sc);
}

bool schednext(scheduler* sc, chunkdone* out) {
  const long c = sc->writing.load(std::memory_order_relaxed);
  if (c >= sc->pl->nchunks)
    return false;
  admit(sc);
  const long slot = c % sc->nslots;
  std::atomic<long>& done = sc->done[slot];
  for (;;) {
    // The slot is read before the halt is looked for: a halt that comes
    // after the reading changes the slot, and so ends the wait on what was
    // read, and one that came before is seen.
    const long finished = done.load(std::memory_order_acquire);
    if (halted(sc))
      return false;
    if (finished == c)
      break;
    if (sc->nthreads > 0 ||
        !taketurn(sc, sc->rooms[0].get(), linesof(sc, 0)))
      done.wait(finished, std::memory_order_acquire);
  }
  double* dLRout;
  out->LRout = resultsof(sc, slot, &dLRout);
  out->dLRout = dLRout;
  out->first = chunkrows(sc, c, &out->end);
  out->printed = sc->printed.get() + slot * sc->printcap;
  out->ends = sc->ends.get() + slot * sc->pl->chunkrows;
  out->nfields = sc->nfields.get() + slot * sc->pl->chunkrows;
  out->nprinted = sc->nprinted[slot];
  return true;
}

void schedwritten(scheduler* sc) {
  bandrelease(sc->bd);
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
