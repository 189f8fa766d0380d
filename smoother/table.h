// The option record and the run-wide table store of quorvel.
#pragma once

#include <cstdint>

constexpr int maxrows = 50000;  // data lines read after the header
constexpr int maxcols = 64;     // data columns
constexpr int maxfields = 132;  // fields a line may have

// What the command line sets.
struct options {
  int smoothfunc = 0;    // 0 copies; 1 to 5 are the window shapes
  int outopt = 0;        // 0, 1 or 2: which columns are inserted
  int winsize = 1;       // window width in position units
  double stddev = 0.12;  // error of an LR value without an error column
  int missing = 0;       // 1: a value without digits is left out, not 0
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
  int col;
  bool insert;  // column col's new fields are written after this field
};

// The whole table: column layout, inputs and outputs. There is one per run;
// its value arrays are heap blocks that are never freed. A field index of 0
// is "not set": no data or error column lies below 4.
struct table {
  std::int32_t pos[maxrows];
  int LRcol[maxcols];
  int dLRcol[maxcols];
  fieldrole role[maxfields];  // for field indices 4 and up
  int firststray;             // the lowest stray field index, or maxfields
  // maxrows doubles each, reserved with the header. A missing value, read
  // with the missing option, is not-a-number, which no number read can be.
  double* LR[maxcols];
  double* dLR[maxcols];     // likewise, null without an error column
  double* LRout[maxcols];   // nrows doubles each, reserved before smoothing
  double* dLRout[maxcols];
  int nLR;
  int nrows;
  bool header;  // false for an empty input, which has no lines at all
};
