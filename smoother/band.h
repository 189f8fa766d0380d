// Pass 2's band: what it keeps of the rows that windows still reach or
// that are not yet written. Their values are in a ring of rows, their
// text in a ring of bytes; both are sized from the plan before anything
// is written, and never grow.
#pragma once

#include <cstddef>
#include <string_view>

#include "smoother/memory.h"
#include "smoother/plan.h"
#include "smoother/table.h"

// Where a row's text lies in the text ring.
struct textspan {
  std::size_t start;
  std::size_t size;
};

struct band {
  // Row j's values are in slot j % nslots: one per data column, and one
  // error per error column.
  long nslots = 0;
  int ncols = 0;
  int nerr = 0;
  owned<double> values;  // nslots rows of ncols
  owned<double> errors;  // nslots rows of nerr
  // The text of the rows read and not yet written, oldest first: a line
  // that does not fit before the ring's end goes to its start.
  owned<char> bytes;
  std::size_t cap = 0;
  std::size_t head = 0;  // where the next line goes
  std::size_t tail = 0;  // where the oldest line kept starts
  long kept = 0;
  std::size_t longest = 0;  // room for a line: the longest kept, and a byte
  owned<textspan> spans;    // row j's in spans[j % nslots]
};

// Takes the memory of the band that pl's windows need for tab's rows.
// False when it cannot be had, *widest being set to the first row of the
// chunk whose windows need the most room.
bool bandreserve(band* b, const plan& pl, const table& tab, long* widest);

inline double* bandvalues(const band& b, long j) {
  return b.values.get() + (j % b.nslots) * b.ncols;
}

inline double* banderrors(const band& b, long j) {
  return b.errors.get() + (j % b.nslots) * b.nerr;
}

// Room for the text of the next row: b->longest bytes, where the row
// after the newest one kept is to go.
char* bandroom(band* b);

// The next row, j, is the size bytes at bandroom(b).
void bandkeep(band* b, long j, std::size_t size);

// Gives up the text of the oldest count rows, which end before row next.
void banddrop(band* b, long count, long next);

inline std::string_view bandtext(const band& b, long j) {
  const textspan& span = b.spans[j % b.nslots];
  return {b.bytes.get() + span.start, span.size};
}
