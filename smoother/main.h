// The quorvel run: command line, pass 1, smoothing, pass 2.
#pragma once

#include "smoother/table.h"

// The intermediate file, in the current directory.
constexpr const char* tmpname = "./quorveltmp.txt";

// Reads the arguments (not the program name) into opt. Returns 0, or -1
// when the usage line is due: a help argument or an outopt other than 0-2.
int readoptions(int argc, char* const* argv, options* opt);

// Runs quorvel and returns its exit status (0, or -1 after a message).
int quorvel(int argc, char** argv);
