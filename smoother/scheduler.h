// The chunk scheduler: the rows are smoothed a chunk at a time, in order,
// as soon as every window of the chunk is in the band, by threads on the
// other cores and by pass 2 itself whenever the chunk it must write next
// is not yet done.
#pragma once

#include <pthread.h>

#include <atomic>

#include "smoother/band.h"
#include "smoother/kernel.h"
#include "smoother/memory.h"
#include "smoother/plan.h"

struct scheduler;

// What a thread is handed: the smoothing and its own room.
struct worker {
  scheduler* sc;
  tilescratch* s;
};

// A smoothing under way: what the threads and pass 2 share. Pass 2 alone
// reads rows and writes chunks; the counters tell the threads how far it
// has got.
struct scheduler {
  const plan* pl = nullptr;
  const kernelsetup* ks = nullptr;
  const band* bd = nullptr;
  long nslots = 0;  // chunks smoothed and not yet written, at the most
  owned<double> results;  // nslots chunks of means, then errors
  owned<std::atomic<long>> done;  // per result slot: its chunk once done
  std::atomic<long> parsed{0};    // rows read into the band
  std::atomic<long> writing{0};   // the chunk pass 2 writes next
  std::atomic<long> next{0};      // the next chunk to take
  std::atomic<bool> stop{false};  // no chunk is to be taken any more
  std::atomic<unsigned> moved{0};  // bumped as parsed or writing move
  long ready = 0;  // the first chunk whose windows are not all read
  owned<tileroom> rooms;  // each thread's, the caller's first
  owned<worker> workers;
  owned<pthread_t> threads;
  int nthreads = 0;  // threads started
  ~scheduler();
};

// Takes the results and each thread's room, then starts pl.nthreads - 1
// threads (fewer where a thread's room cannot be had), which smooth b's
// rows as ks says in the chunks of pl. False when the results or the
// caller's room cannot be had.
bool schedstart(scheduler* sc, const plan& pl, const kernelsetup& ks,
                const band& b);

// The row to read into the band now; -1 when the next chunk can be waited
// for, or the smoothing has stopped.
long schedwants(scheduler* sc);

// The row that schedwants asked for is in the band.
void schedread(scheduler* sc);

// A chunk that is smoothed: its rows [first, end), and their means and
// errors, a row of one per data column after another.
struct chunkdone {
  long first;
  long end;
  const double* LRout;
  const double* dLRout;
};

// Waits until the next chunk to write is smoothed, smoothing chunks itself
// rather than wait. False when every chunk has been written, or the
// smoothing has stopped.
bool schednext(scheduler* sc, chunkdone* c);

// The chunk schednext gave is written: its room may be used again.
void schedwritten(scheduler* sc);

// Stops and joins the threads; a chunk under way ends after its tile.
void schedend(scheduler* sc);
