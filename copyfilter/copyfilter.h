// The copy filter: standard input to standard output through the text
// stream translation, which is all that happens to the bytes.
#pragma once

#include "textio/textio.h"

// Copies in to out until in ends, then writes out what out still holds.
// Returns 0 after a complete copy or when out's reader has gone (the copy
// stops at once), -1 when a read or a write failed.
int copytext(textin* in, textout* out);
