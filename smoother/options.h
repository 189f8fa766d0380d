// The command line: the option record, reading it, and what quorvel
// writes when it is asked for help or its version, or when an argument is
// wrong.
#pragma once

#include <string_view>

#include "smoother/messages.h"
#include "textio/textio.h"

// What the command line sets.
struct options {
  int smoothfunc = 0;    // 0 copies; the others are window shapes
  int outopt = 0;        // 0, 1 or 2: which columns are inserted
  int winsize = 1;       // window width in position units
  double stddev = 0.12;  // error of an LR value without an error column
  int missing = 0;       // 1: a value without digits is left out, not 0
  int crlf = 1;          // 0: line ends are written as LF, not CR LF
  int series = 0;        // 1: windows stop where field 1 changes
  int strict = 0;        // 1: input read silently otherwise stops the run
  int threads = 0;       // the most smoothing threads; 0: every core
  std::string_view input;  // the input file's name; empty: standard input
};

// What a command line asks for.
enum class request { run, help, version, invalid };

// Reads the arguments (not the program name) into opt, left to right: the
// options, in their one-dash or two-dash form, and the name of the input
// file, "-" for standard input. The first help, version or invalid
// argument (a second input among them) decides, *bad being set to an
// invalid one; after them all, the first value out of its range (outopt,
// missing, crlf, series, strict, threads in turn) is invalid, *bad being
// set to the last argument that set it. opt->crlf is the last valid
// -crlf= value wherever it stands, so that even the message about an
// invalid argument follows it.
request readoptions(int argc, char* const* argv, options* opt,
                    std::string_view* bad);

// The name messages begin with: the program as invoked, without quotes.
std::string_view programname(int argc, char** argv);

// Names the invalid argument bad, then writes the usage line.
void usage(const diag& dg, std::string_view bad);

// Writes the usage line and a short help to out.
void help(std::string_view progname, textout* out);

// Writes the version to out.
void version(textout* out);
