// Pass 2's band: what it keeps of the rows that windows still reach or
// that are not yet written. Their values are in a ring of rows, their text
// in a ring of bytes, a chunk's lines together; both are sized from the
// plan before anything is written, and never grow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "smoother/memory.h"
#include "smoother/plan.h"
#include "smoother/table.h"

// Where a row's text, or a chunk's lines, lie in the text ring.
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
  owned<textspan> spans;  // row j's text, with a tab after it
  // The lines of the chunks read and not yet written, oldest first: a
  // chunk that does not fit before the ring's end goes to its start.
  owned<char> bytes;
  std::size_t cap = 0;
  owned<textspan> rooms;  // chunk c's lines in rooms[c % nrooms]
  long nrooms = 0;
  long oldest = 0;  // the chunks oldest to oldest + held have rooms
  long held = 0;
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

inline std::string_view bandtext(const band& b, long j) {
  const textspan& span = b.spans[j % b.nslots];
  return {b.bytes.get() + span.start, span.size};
}

// Gives the chunk after the newest one with a room a room of its own, for
// its lines of size bytes as the intermediate file holds them.
void bandadmit(band* b, std::size_t size);

// The oldest chunk with a room is written: its room is free.
void bandrelease(band* b);

// Where pass 2 reads its rows from: the intermediate file, and how to
// read their values.
struct copysource {
  int fd = -1;
  const layout* lay = nullptr;
  bool missing = false;
  long nrows = 0;  // the table's; the last one's line may have no end
};

// Reads chunk c's rows [first, end), whose lines lie at at in the copy,
// into its room: each row's text, with a tab after it, and its values.
// False when the copy does not give them back as pass 1 kept them.
bool bandload(band* b, const copysource& src, long c, long first, long end,
              std::uint64_t at);
