// The command line: reading the options, and what quorvel writes when it
// is asked for help or its version, or when an argument is wrong.
#pragma once

#include <string_view>

#include "smoother/messages.h"
#include "smoother/table.h"
#include "textio/textio.h"

// What a command line asks for.
enum class request { run, help, version, invalid };

// Reads the arguments (not the program name) into opt, left to right. The
// first help, version or invalid argument decides, *bad being set to an
// invalid one; after them all, an outopt other than 0 to 2, then a
// missing other than 0 or 1, then a crlf other than 0 or 1 is invalid,
// *bad being set to the last argument that set it.
request readoptions(int argc, char* const* argv, options* opt,
                    std::string_view* bad);

// Whether the arguments (not the program name) ask for CR LF line ends:
// the last -crlf= argument whose value is valid, 0 or 1, decides wherever
// it stands, so that even the message about an invalid argument follows
// it; without one, CR LF.
bool crlfof(int argc, char* const* argv);

// The name messages begin with: the program as invoked, without quotes.
std::string_view programname(int argc, char** argv);

// Names the invalid argument bad, then writes the usage line.
void usage(const diag& dg, std::string_view bad);

// Writes the usage line and a short help to out.
void help(std::string_view progname, textout* out);

// Writes the version to out.
void version(textout* out);
