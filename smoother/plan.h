// Which rows each chunk's windows take, and so how far pass 2 must read
// ahead before a chunk can be smoothed.
#pragma once

#include <algorithm>

#include "smoother/memory.h"
#include "smoother/table.h"
#include "smoother/windows.h"

// Pass 2 reads, smooths and writes the rows a chunk at a time. While chunk
// w is being written, chunks up to w + ahead may be smoothed, and the
// chunks that hold the rows their windows reach must be read.
struct plan {
  long chunkrows = 0;  // whole blocks, or all the rows of a shorter table
  long nchunks = 0;
  int nthreads = 1;    // no more than there are chunks
  long ahead = 0;
  owned<long> reachfrom;  // per chunk c: the lowest row that any window of
                          // chunk c or a later one takes
  owned<long> readyat;    // per chunk c: the rows to read before chunks
                          // up to c can be smoothed
};

// The rows of tab, as windows are found among them.
inline rowset rowsof(const table& tab) {
  return {tab.pos.get(), tab.nrows, tab.starts.get(), tab.nstarts};
}

// Works out the plan for tab's rows in windows of sh, smoothed on up to
// nthreads threads. False when its memory cannot be had.
bool makeplan(const table& tab, const shape& sh, int nthreads, plan* pl);

// How many chunks are smoothed and printed at once: the next to write and
// those up to ahead of it, no more than the table has, and at least one.
inline long inflight(const plan& pl) {
  return std::max(1L, std::min(pl.ahead + 1, pl.nchunks));
}

// The chunks to read while chunk w is the next to write: all those that
// hold a row which the windows of chunks up to w + ahead take.
long chunksneeded(const plan& pl, long w);

// Where chunk c's lines lie in the intermediate file, and how many bytes
// they take there.
std::uint64_t chunkat(const plan& pl, const table& tab, long c,
                      std::size_t* size);
