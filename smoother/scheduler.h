// The chunk scheduler: the rows are smoothed a chunk at a time, in order,
// as soon as every window of the chunk is in the band, by threads on the
// other cores and by pass 2 itself whenever the chunk it must write next
// is not yet done.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "smoother/band.h"
#include "smoother/kernel.h"
#include "smoother/table.h"

// How far ahead pass 2 reads, and so what the band and the text ring must
// hold: while chunk w is being written, chunks up to w + ahead may be
// smoothed, and the rows they reach must be read.
struct plan {
  long nchunks = 0;
  long ahead = 0;
  long* reachfrom = nullptr;  // per chunk c: the lowest row that any
                              // window of chunk c or a later one takes
  long* readyat = nullptr;    // per chunk c: the rows to read before
                              // chunks up to c can be smoothed
  long bandrows = 0;          // the band's slots
  std::size_t textbytes = 0;  // the text ring's bytes
  long widest = 0;            // the chunk whose rows need the most room
};


struct scheduler;

// What a thread is handed: the smoothing and its own room.
struct worker {
  scheduler* sc;
  tilescratch* s;
};

// A smoothing under way: what the threads and pass 2 share.
struct scheduler {
  const plan* pl = nullptr;
  const kernelsetup* ks = nullptr;
  const band* bd = nullptr;
  double* results = nullptr;  // ahead + 1 chunks of means, then errors
  std::atomic<long> parsed{0};   // rows read into the band
  std::atomic<long> writing{0};  // the chunk pass 2 writes next
  std::atomic<long> next{0};     // the next chunk to take
  std::atomic<bool> stop{false}; // the output has failed
  std::atomic<unsigned> moved{0};  // bumped as parsed or writing move
  std::atomic<long>* done = nullptr;  // per result slot: its chunk once done
  int nthreads = 0;                   // threads started
  pthread_t* threads = nullptr;
  worker* workers = nullptr;
  tilescratch** scratches = nullptr;  // the caller's first
};

// Takes the results and each thread's room, then starts up to nthreads - 1
// threads (fewer where a thread's room cannot be had). False when the
// results or the caller's room cannot be had.
bool schedstart(scheduler* sc, const plan& pl, const kernelsetup& ks,
                const band& bd, int nthreads);

// Tells the threads that rows up to parsed are in the band.
void schedparsed(scheduler* sc, long parsed);

// Waits until chunk c, the next to write, is smoothed, smoothing chunks
// itself rather than wait, and returns where its means and errors are.
void schedwait(scheduler* sc, long c, const double** LRout,
               const double** dLRout);

// Tells the threads that chunk c is written: its slot is free.
void schedwritten(scheduler* sc, long c);

// Stops and joins the threads; a chunk under way ends after its tile.
void schedend(scheduler* sc);

// Gives back the memory that schedstart took.
void schedrelease(scheduler* sc);
