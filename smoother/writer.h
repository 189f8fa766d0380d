// Writing the extended table: each kept line with the new fields of its
// data columns inserted after them.
#pragma once

#include <cstddef>
#include <string_view>

#include "smoother/messages.h"
#include "smoother/table.h"
#include "textio/textio.h"

struct writer {
  const options* opt = nullptr;
  const layout* lay = nullptr;
  diag dg;
  textout* out = nullptr;
  char* line = nullptr;  // the output line being built
  std::string_view* names = nullptr;  // each data column's header name
};

// Sets wr up to write to out, and takes room for an output line made from
// a kept line of up to longest bytes. False when it cannot be had.
bool writerstart(writer* wr, const diag& dg, const options& opt,
                 const layout& lay, textout* out, std::size_t longest);

// Writes the header line: text is the kept line without its line end,
// and the byte after it must be a tab. Each data column's new fields are
// named after its header field.
void writeheader(writer* wr, std::string_view text);

// Writes data line r likewise, with each data column k's smoothed value
// LRout[k] and, with outopt 2, its error dLRout[k].
void writerow(writer* wr, long r, std::string_view text,
              const double* LRout, const double* dLRout);

// Gives back what writerstart took.
void writerrelease(writer* wr);
