// Pass 2's band: the values, and the text, of the rows that windows still
// reach or that are not yet written, each in a ring that is reserved
// before anything is written and never grows.
#pragma once

#include <cstddef>
#include <string_view>

#include "smoother/table.h"

// The values of the band's rows: row j lies in slot j % nslots, a row of
// one value per data column and one error per error column. A missing
// value, read with the missing option, is not-a-number, which no number
// read can be, and so is its error.
struct band {
  long nslots = 0;
  int ncols = 0;
  int nerr = 0;
  double* values = nullptr;  // nslots rows of ncols
  double* errors = nullptr;  // nslots rows of nerr
};

inline double* bandvalues(const band& b, long j) {
  return b.values + (j % b.nslots) * b.ncols;
}

inline double* banderrors(const band& b, long j) {
  return b.errors + (j % b.nslots) * b.nerr;
}

// Takes the memory of a band of nslots rows for lay's columns. False when
// it cannot be had.
bool bandreserve(band* b, const layout& lay, long nslots);

// Reads the values and errors of a data line (without its line end) into
// values and errors, up to its first field that is not in the layout. A
// value the line does not give reads 0, or is missing with the missing
// option; an error it does not give reads 0.
void readvalues(const layout& lay, bool missing, std::string_view line,
                double* values, double* errors);

// Where a row's text lies in a text ring.
struct textspan {
  std::size_t start;
  std::size_t size;
};

// The text of the rows read and not yet written, oldest first, in a ring
// of bytes: a line that does not fit before the end goes to the start.
struct textring {
  char* bytes = nullptr;
  std::size_t cap = 0;
  std::size_t head = 0;  // where the next line goes
  std::size_t tail = 0;  // where the oldest line kept starts
  long kept = 0;
  long nslots = 0;       // row j's span is in lines[j % nslots]
  textspan* lines = nullptr;
};

// Takes the memory of a ring of cap bytes for the text of nslots rows.
// False when it cannot be had.
bool textreserve(textring* t, std::size_t cap, long nslots);

// Room for size bytes of row j's text, which becomes the newest kept, or
// null when the ring has no such room.
char* textput(textring* t, long j, std::size_t size);

// Gives up the oldest count rows, which end before row next.
void textdrop(textring* t, long count, long next);

inline std::string_view textof(const textring& t, long j) {
  const textspan& span = t.lines[j % t.nslots];
  return {t.bytes + span.start, span.size};
}
