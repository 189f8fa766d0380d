// The input table: a named file or standard input, read as it is or, when
// it begins with the two bytes that mark gzip data, decompressed member by
// member on a thread of its own.
#pragma once

#include <pthread.h>
#include <zlib.h>

#include <atomic>
#include <string_view>

#include "smoother/memory.h"
#include "smoother/messages.h"
#include "smoother/outwatch.h"
#include "textio/textio.h"

struct input {
  std::string_view name;  // as given; empty for standard input
  int fd = -1;            // the file, or standard input
  bool ownfd = false;     // the file: closed with the input
  textin raw;             // the file or standard input as it comes
  textin text;            // the decompressed bytes, through a pipe
  bool gzip = false;
  int pipefds[2] = {-1, -1};
  pthread_t inflater;
  bool inflating = false;
  // The decompressing thread's: the bytes read to tell gzip data, its
  // blocks of compressed and decompressed bytes, and zlib's state, which
  // takes its memory from arena (the thread allocates nothing).
  const unsigned char* first = nullptr;
  std::size_t nfirst = 0;
  owned<unsigned char> zin;
  owned<unsigned char> zout;
  owned<unsigned char> arena;
  std::size_t arenaused = 0;
  z_stream zs;
  bool zstarted = false;
  std::atomic<bool> faulted{false};  // the data is not whole gzip data
  std::atomic<unsigned long long> rawread{0};  // compressed bytes taken
  ~input();
};

// Opens the input file named name, or takes standard input when name is
// empty. Returns 0, or -1 after writing "Can't open NAME for reading" when
// the file cannot be opened or is a directory.
int inputopen(const diag& dg, std::string_view name, input* in);

// Starts reading: looks at the first bytes and, for gzip data, starts the
// thread that decompresses it. Returns the stream of the table's text,
// which ends early once watch finds the output's reader gone; or null
// after writing its message when there is no memory to decompress.
textin* inputstart(const diag& dg, input* in, outwatch* watch);

// The bytes of the file or standard input read so far.
unsigned long long inputbytes(const input& in);

// The size of a file to read, or 0 where it is not known ahead.
unsigned long long inputsize(const input& in);

// Whether the text ended because reading failed: a read, or the gzip data
// (not whole, or with other bytes after a member). A Ctrl-Z in the text
// ends it before anything after it is looked at. Call once the text has
// ended, or has given a last line without a line end.
bool inputfailed(input* in);

// Writes the message for an input that could not be read.
void inputreadfailed(const diag& dg, const input& in);
