// Writing the extended table: each kept line with the new fields of its
// data columns inserted after them.
#pragma once

#include <cstddef>
#include <string_view>

#include "smoother/memory.h"
#include "smoother/messages.h"
#include "smoother/options.h"
#include "smoother/table.h"
#include "textio/textio.h"

struct writer {
  const options* opt = nullptr;
  const layout* lay = nullptr;
  diag dg;
  textout* out = nullptr;
  owned<char> line;  // the output line being built
  std::size_t cap = 0;
  owned<std::string_view> names;  // each data column's header name
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

// Writes data line r likewise, with each data column k's smoothed value
// LRout[k] and, with outopt 2, its error dLRout[k]. False when there is
// no memory for the output line.
bool writerow(writer* wr, long r, std::string_view text, const double* LRout,
              const double* dLRout);
