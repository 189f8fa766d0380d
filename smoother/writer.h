// Writing the extended table: each kept line with the new fields of its
// data columns inserted after them.
#pragma once

#include <cstddef>
#include <string_view>

#include "smoother/memory.h"
#include "smoother/messages.h"
#include "smoother/numbers.h"
#include "smoother/options.h"
#include "smoother/table.h"
#include "textio/textio.h"

struct writer {
  const options* opt = nullptr;
  const layout* lay = nullptr;
  diag dg;
  textout* out = nullptr;
  owned<char> line;  // an output line built here
  std::size_t cap = 0;
  owned<std::string_view> names;  // each data column's header name
  // Lines are printed with the line ends that out writes, and go out as
  // they are: for an output where no one sees its blocks.
  bool printends = false;
  // The values printed are the fields' own, unsmoothed: a field of the
  // commonest form is printed from its text.
  bool copies = false;
  // Every field from the fifth on is a data or error column's, as the
  // header has no other.
  bool plain = false;
  // Smoothed values of the commonest kind are found a batch at a time,
  // where that is cheaper than one by one.
  bool batches = false;
  // The error printed for a data column without an error column, as its
  // values are copied: stddev, printed once.
  char stddevtext[maxformatted + 1];
  std::size_t stddevsize = 0;
};

// Sets wr up to write to out, with room for output lines made from kept
// lines of up to longest bytes and values of the usual sizes. False when
// it cannot be had.
bool writerstart(writer* wr, const diag& dg, const options& opt,
                 const layout& lay, textout* out, std::size_t longest);

// Writes the header line: text is the kept line without its line end.
// Each data column's new fields are named after its header field. False
// when there is no memory for the output line.
bool writeheader(writer* wr, std::string_view text);

// Writes data line r, whose text is followed by a tab, with each data
// column k's smoothed value LRout[k] and, with outopt 2, its error
// dLRout[k], after the message for each field the header has no column
// for. False when there is no memory for the output line.
bool writerow(writer* wr, long r, std::string_view text, const double* LRout,
              const double* dLRout);

// The room that printing rows lines of bytes of text in all takes, when
// their values are of the usual sizes.
std::size_t printroom(const writer& wr, long rows, std::size_t bytes);

// Prints output line r of data line text (followed by a tab and, as the
// band keeps it, eight more bytes) into [at, end), as writerow would
// write it, without its messages, and sets
// *nfields to the line's field count. Returns the line's end, or null
// when it does not fit. Where the writer copies, LRout may be null: the
// values are then printed from their fields' text, and null is returned
// too when one cannot be. Any thread may print, once the header is
// written.
char* printrow(const writer& wr, long r, std::string_view text,
               const double* LRout, const double* dLRout, char* at,
               char* end, long* nfields);

// Writes the line that printrow printed, of data line r with nfields
// fields, after the message for each field the header has no column for.
void writeprinted(writer* wr, long r, long nfields, std::string_view line);
