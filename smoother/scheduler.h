// The chunk scheduler: pass 2 reads, smooths and prints the rows a chunk
// at a time, on every core. A chunk is read (its lines from the
// intermediate file into the band, and their values) once it has a room
// in the band; smoothed and printed once every window of its rows is
// read; and written, in order, by pass 2 itself, which takes a turn at the
// other tasks rather than wait.
#pragma once

#include <pthread.h>

#include <atomic>

#include "smoother/band.h"
#include "smoother/kernel.h"
#include "smoother/memory.h"
#include "smoother/plan.h"
#include "smoother/writer.h"

struct scheduler;

// What a thread is handed: the smoothing and its own rooms.
struct worker {
  scheduler* sc;
  tilescratch* s;
  char* lines;  // for a chunk's lines read for their values alone
};

// A smoothing under way: what the threads and pass 2 share. Pass 2 alone
// gives chunks their rooms and writes them; the counters tell the threads
// how far it has got.
struct scheduler {
  const plan* pl = nullptr;
  const kernelsetup* ks = nullptr;
  band* bd = nullptr;
  const copysource* src = nullptr;
  const table* tab = nullptr;
  const writer* wr = nullptr;
  // The chunks smoothed and not yet written, at most nslots of them: each
  // one's means, then its errors; its printed lines, where each ends, and
  // their field counts; and how many of its rows were printed.
  long nslots = 0;
  owned<double> results;
  owned<char> printed;
  std::size_t printcap = 0;
  owned<std::size_t> ends;
  owned<long> nfields;
  owned<long> nprinted;
  owned<std::atomic<long>> done;    // per slot: its chunk once printed
  owned<std::atomic<long>> loaded;  // per chunk read at once: it, once read
  // Per band room: the chunk whose lines are in it, -1 before anyone
  // reads them there, -2 - c while chunk c's are being read.
  owned<std::atomic<long>> text;
  owned<char> scratch;  // each thread's room for a chunk's lines, where
                        // the band keeps rooms for too few chunks
  std::atomic<long> admitted{0};  // chunks that may be read
  std::atomic<long> roomed{0};    // chunks with a room in the band
  std::atomic<long> nextload{0};  // the next chunk to read
  std::atomic<long> nexttext{0};  // the next room whose lines to read
  std::atomic<long> readupto{0};  // the chunks read, every one before this
  std::atomic<long> next{0};      // the next chunk to smooth
  std::atomic<long> writing{0};   // the chunk pass 2 writes next
  std::atomic<bool> stop{false};  // no task is to be taken any more
  std::atomic<bool> failed{false};  // the copy could not be read back
  std::atomic<unsigned> moved{0};   // bumped as work becomes possible
  owned<tileroom> rooms;  // each thread's, the caller's first
  owned<worker> workers;
  owned<pthread_t> threads;
  int nthreads = 0;  // threads started
  ~scheduler();
};

// Takes the slots and each thread's room, then starts pl.nthreads threads
// where that is more than one (fewer where a thread's room cannot be
// had), which read tab's rows from src into b and smooth and print them
// as ks and wr say, in the chunks of pl; the caller then only writes what
// they print, and does their work itself only where none was started.
// False when the slots or the caller's room cannot be had.
bool schedstart(scheduler* sc, const plan& pl, const kernelsetup& ks,
                band* b, const copysource& src, const table& tab,
                const writer& wr);

// A chunk that is smoothed and printed: its rows [first, end), their
// means and errors (a row of one per data column after another), and the
// lines of its first nprinted rows, line r ending at ends[r - first] in
// printed, with nfields[r - first] fields.
struct chunkdone {
  long first;
  long end;
  const double* LRout;
  const double* dLRout;
  const char* printed;
  const std::size_t* ends;
  const long* nfields;
  long nprinted;
};

// Gives rooms to the chunks that may be read now, then waits until the
// next chunk to write is printed, taking turns at the other tasks rather
// than wait. False when every chunk has been written, or the smoothing has
// stopped (then failed tells whether the copy could not be read back).
bool schednext(scheduler* sc, chunkdone* c);

// The chunk schednext gave is written: its slot and room may be used
// again.
void schedwritten(scheduler* sc);

// Stops and joins the threads; a task under way ends at its next row or
// tile.
void schedend(scheduler* sc);
