// The copy filter: standard input to standard output through the text
// stream translation, which is all that happens to the bytes.
#pragma once

#include "textio/textio.h"

// Copies in to out until in ends, then writes out what out still holds;
// failed writes are lost and do not stop the copy. Returns 0 after a
// complete copy, -1 when a read failed (what came before it is copied).
int copytext(textin* in, textout* out);
