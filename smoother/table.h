// The column layout the header decides, and what pass 1 keeps of the table
// for pass 2: the positions, and a few counts for each chunk of rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "smoother/memory.h"

// What field i (from 4 on) is in every line. Lines are read against the
// header's layout by position, so the role of a field index is the same in
// each line and is decided once, from the header.
enum class fieldkind : unsigned char {
  data,   // the LR value of data column col
  error,  // the dLR value of data column col
  stray,  // not where the layout expects column col's next field
};
struct fieldrole {
  fieldkind kind;
  bool insert;  // column col's new fields are written after this field
  int col;
};

// The column layout. A field index of 0 is "not set": no data or error
// column lies below 4.
struct layout {
  int nLR = 0;             // data columns
  int nerr = 0;            // of them, those with an error column
  owned<int> LRcol;        // field index of each data column
  owned<int> dLRcol;       // field index of its error column, or 0
  owned<int> errindex;     // its place among the error columns, or -1
  owned<fieldrole> role;   // for field indices below nroles
  int nroles = 0;          // the header's field count
  int firststray = 0;  // the lowest stray field index: the layout's end
};

// The role of field i (4 or more) in every line. Past the header's fields
// no column is expected any more.
inline fieldrole roleof(const layout& lay, long i) {
  if (i < lay.nroles)
    return lay.role[i];
  return {fieldkind::stray, false, lay.nLR};
}

// Rows are counted in blocks of this many: pass 1 counts each block's
// text, and pass 2 smooths and writes chunks of whole blocks.
constexpr long blockrows = 32;

// What pass 1 knows of a block of rows.
struct blockfacts {
  std::size_t bytes;  // the text of its lines, each with one byte for its end
  long firstline;     // input line number of its first row (the header is 1)
};

// The table as pass 1 leaves it.
struct table {
  bool header = false;  // false for an empty input, which has no lines
  layout lay;
  long nrows = 0;
  owned<std::int32_t> pos;  // each row's position
  std::size_t poscap = 0;
  owned<blockfacts> blocks;  // (nrows + blockrows - 1) / blockrows
  std::size_t blockcap = 0;
  std::size_t longest = 0;  // the longest kept line, with its line end
  long longestline = 0;     // its input line number
  // With -series, the first row of each series, in order: no window
  // reaches across one. Without, there are none.
  owned<long> starts;
  long nstarts = 0;
  std::size_t startcap = 0;
};
