// Which rows each chunk's windows take, and so how far pass 2 must read
// ahead before a chunk can be smoothed.
#pragma once

#include "smoother/memory.h"
#include "smoother/table.h"
#include "smoother/windows.h"

// Pass 2 smooths and writes the rows a chunk at a time. While chunk w is
// being written, chunks up to w + ahead may be smoothed, and the rows they
// reach must be read.
struct plan {
  long chunkrows = 0;  // whole blocks, or all the rows of a shorter table
  long nchunks = 0;
  int nthreads = 1;    // no more than there are chunks to smooth at once
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

// The rows to read while chunk w is the next to write: those that chunks
// up to w + ahead take.
long rowsneeded(const plan& pl, long w);
