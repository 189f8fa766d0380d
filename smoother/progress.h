// The progress line: on a terminal, a long run shows which pass it is in
// and how far it has got, on one line of standard error rewritten in place.
// Nothing of it ever goes anywhere but to a terminal, and never to the
// terminal the output rows go to, where it would run into them.
#pragma once

#include "textio/textio.h"

struct progress {
  textout* err = nullptr;  // null: standard error is not a terminal
  long long start = 0;     // when the run began, in nanoseconds
  long long next = 0;      // when the line may next be written
  int shown = 0;           // the length of the line on the screen
  unsigned long long inputsize = 0;  // of a file on standard input, or 0
};

// Sets p up for a run that begins now, writing to err if it is a terminal
// and out is not that same terminal.
void progressstart(progress* p, textout* err, const textout& out);

// Tells p that pass (1 or 2) has done done of total rows; pass 1, which
// cannot know the total, tells how many bytes of the input it has read. After about a second of the run, and then a few times a second,
// the line is rewritten.
void progressat(progress* p, int pass, long long done, long long total,
                unsigned long long read = 0);

// Erases the line, if it is shown: before a message, and at the run's end.
void progresserase(progress* p);
