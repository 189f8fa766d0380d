// The quorvel run: command line, pass 1, smoothing, pass 2.
#pragma once

#include "smoother/table.h"

// What a command line asks for.
enum class request { run, help, version, usage };

// Reads the arguments (not the program name) into opt, left to right. The
// first help, version or invalid argument decides; after them all, an
// outopt other than 0, 1 or 2 asks for the usage line.
request readoptions(int argc, char* const* argv, options* opt);

// Runs quorvel on the standard streams and returns its exit status: 0, or
// -1 after a message. It gives back all it took before it returns, so a
// process may run it again and again.
int quorvel(int argc, char** argv);
