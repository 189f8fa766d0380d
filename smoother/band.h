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
  // How many chunks from the next to write have rooms: every chunk that
  // is read (0), or, where windows reach so far ahead that their lines
  // would take much memory, those that are printed at once; the others
  // are read for their values alone, and again for their text.
  long roomsahead = 0;
  long nreads = 0;          // the most chunks read and not yet written
  std::size_t largest = 0;  // the most bytes of one chunk's lines
};

// The bytes of lines up to which the band keeps rooms for all the chunks
// it reads; beyond them it keeps rooms only for the chunks printed at once.
constexpr std::size_t textbudget = 16 << 20;

// Takes the memory of the band that pl's windows need for tab's rows,
// keeping rooms for the lines of every chunk read when they take no more
// than budget bytes. False when it cannot be had, *widest being set to
// the first row of the chunk whose windows need the most room.
bool bandreserve(band* b, const plan& pl, const table& tab,
                 std::size_t budget, long* widest);

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

// The bytes a room keeps after its chunk's lines: one for the tab after a
// last line without a line end, and eight more, so that every row's text
// is followed by its tab and eight bytes that a word may be read from.
constexpr std::size_t roomspare = 9;

// The bytes that hold any one chunk's lines, with the bytes to spare after
// them.
inline std::size_t chunkroom(const band& b) { return b.largest + roomspare; }

// The room of chunk c, which has one.
inline char* bandroom(const band& b, long c) {
  return b.bytes.get() + b.rooms[c % b.nrooms].start;
}

// Reads size bytes at at of the copy into to. False when they cannot all
// be read.
bool bandread(const copysource& src, char* to, std::size_t size,
              std::uint64_t at);

// Takes the lines of rows [first, end), size bytes at lines as the copy
// holds them, with roomspare bytes to spare after them: each row's text
// gets the tab after it, and its span is kept when keep is set, its values
// read when values is set. False when they are not the rows' lines.
bool bandlines(band* b, const copysource& src, long first, long end,
               char* lines, std::size_t size, bool keep, bool values);
