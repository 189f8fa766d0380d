// The option record, the column layout the header decides, and what pass 1
// keeps of the table for pass 2: the positions, and a few counts for each
// chunk of rows.
#pragma once

#include <cstddef>
#include <cstdint>

// What the command line sets.
struct options {
  int smoothfunc = 0;    // 0 copies; 1 to 5 are the window shapes
  int outopt = 0;        // 0, 1 or 2: which columns are inserted
  int winsize = 1;       // window width in position units
  double stddev = 0.12;  // error of an LR value without an error column
  int missing = 0;       // 1: a value without digits is left out, not 0
  int crlf = 1;          // 0: line ends are written as LF, not CR LF
};

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
  int* LRcol = nullptr;    // field index of each data column
  int* dLRcol = nullptr;   // field index of its error column, or 0
  int* errindex = nullptr; // its place among the error columns, or -1
  fieldrole* role = nullptr;  // for field indices below nroles
  int nroles = 0;             // the header's field count
  int firststray = 0;  // the lowest stray field index: the layout's end
};

// The role of field i (4 or more) in every line. Past the header's fields
// no column is expected any more.
inline fieldrole roleof(const layout& lay, long i) {
  if (i < lay.nroles)
    return lay.role[i];
  return {fieldkind::stray, false, lay.nLR};
}

// Rows are taken in chunks of this many: pass 1 counts each chunk's text,
// and pass 2 smooths and writes a chunk at a time.
constexpr long chunkrows = 256;

// What pass 1 knows of a chunk of rows.
struct chunkfacts {
  std::size_t bytes;  // the text of its lines, each with one byte for its end
  long firstline;     // input line number of its first row (the header is 1)
};

// The table as pass 1 leaves it. Its blocks are never freed.
struct table {
  bool header = false;  // false for an empty input, which has no lines
  layout lay;
  long nrows = 0;
  std::int32_t* pos = nullptr;     // each row's position
  chunkfacts* chunks = nullptr;    // (nrows + chunkrows - 1) / chunkrows
  std::size_t longest = 0;  // the longest kept line, with its line end
  long longestline = 0;     // its input line number
};
