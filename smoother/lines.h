// Line pieces and field splitting, which both passes read the table with.
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>

#include <pthread.h>
#include <semaphore.h>

#include "smoother/table.h"
#include "textio/textio.h"

// Longest line piece. A line of up to 2046 characters fits with its LF; a
// longer one is refused rather than taken as several lines.
constexpr std::size_t maxpiece = 2047;

// Reads the next line piece into piece (room for maxpiece bytes), up to and
// including its LF. Returns its length, 0 at end of input, -1 when a read
// failed.
long readpiece(textin* in, char* piece);

// True when a piece read by readpiece holds more than 2046 characters
// before its line end.
bool toolong(std::string_view piece);

// Splits a line (a piece, with or without its LF: the end of the input ends
// a line as LF does) into fields at its tabs, without their tab or LF.
// Returns how many there are, or -1 when there are more than maxfields.
int splitfields(std::string_view line, std::string_view* fields);

// Counts the fields splitfields would find in line, or gives -1 where it
// would.
int countfields(std::string_view line);

// Room for the blocks of lines that the two threads of a pass hand each
// other. The passes never overlap, so they share it.
constexpr std::size_t blockspacesize = 192 * 1024 * 2;
char* blockspace();

// A second thread that reads or writes a pass's blocks of lines one block
// ahead of the main thread, where the process may use more than one core.
// The main thread asks for a block and later waits for it; the thread
// waits for each request in aheadnext and reports it done in aheaddone.
struct ahead {
  pthread_t thread;
  sem_t go;
  sem_t done;
  bool started = false;
  std::atomic<bool> quit = false;  // read by the thread between requests
};

// Starts loop(arg) on a thread of its own. Returns false, with nothing
// started, on a single core or when the thread cannot start: the caller
// then does each block itself.
bool aheadstart(ahead* a, void* (*loop)(void*), void* arg);

// Hands the thread the block set up for it.
void aheadask(ahead* a);

// Waits until the block asked for is done.
void aheadwait(ahead* a);

// In the thread's loop: waits for the next request. False when there will
// be none.
bool aheadnext(ahead* a);

// In the thread's loop: reports the block asked for done.
void aheaddone(ahead* a);

// Ends the thread, which must not be working on a block, and waits for it.
void aheadend(ahead* a);
