// The quorvel run: command line, pass 1, smoothing, pass 2.
#pragma once

// Runs quorvel on the standard streams and returns its exit status: 0, or
// -1 after a message. It gives back all it took before it returns, so a
// process may run it again and again.
int quorvel(int argc, char** argv);
