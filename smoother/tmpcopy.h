// The intermediate file: pass 1's copy of the header and the accepted
// lines, which pass 2 reads back to write the output, and which stays under
// its fixed name in the current directory after the run.
//
// Each run writes a file of its own, created new (an unnamed one where the
// file system has them), and puts it in place under the name with a single
// rename. Runs in one directory therefore never wait for each other nor
// read each other's copy, and whatever stood at the name (a link to
// another file, a FIFO) is replaced, never opened.
#pragma once

#include <csignal>
#include <memory>

#include "smoother/memory.h"
#include "smoother/messages.h"
#include "textio/textio.h"

constexpr const char* tmpname = "./quorveltmp.txt";

// A thread that writes the copy's blocks as pass 1 hands them over.
struct copywriter;
struct copywriterend {
  void operator()(copywriter* cw) const;
};

// The signals are numbered below this.
constexpr int nsignals = NSIG;

struct tmpcopy {
  int fd = -1;
  bool named = false;  // has a name of its own until it is put in place
  char ownname[64] = {};
  unsigned long mix = 0;  // the last fresh name's seed
  bool caught = false;    // the end signals are caught, as before says
  struct sigaction before[nsignals];
  bool held[nsignals];     // the run's handler has taken this signal
  textout out;  // pass 1 writes here
  owned<unsigned char> block;  // its blocks, larger than a stream's
  std::unique_ptr<copywriter, copywriterend> writer;  // or null
  bool overlap = false;  // the run may keep two threads busy
};

// Creates the run's own file, unless the name is a directory, the directory
// cannot be written, or standard output is the very file at the name (the
// output would go with it). With overlap set, the file is written by a
// thread of its own while pass 1 reads on. Returns 0, or -1 after writing
// the message.
int tmpcreate(const diag& dg, tmpcopy* tf, bool overlap);

// Writes out what pass 1 left in tf->out and puts the file in place under
// the name; what stood there is let go of on a thread of its own where the
// run may keep two busy. When report is set, returns 0, or -1 after
// writing the message; a run that has already stopped with a message sets
// none and gets 0.
int tmpputinplace(const diag& dg, tmpcopy* tf, bool report);

// Makes sure the file can be read back from its start. Returns 0, or -1
// after writing the message.
int tmpreadback(const diag& dg, tmpcopy* tf);

// Writes the message for a copy that pass 2 could not read back whole.
void tmpreadfailed(const diag& dg);

// Closes the file, which stays under its name.
void tmpclose(tmpcopy* tf);
