#include "copyfilter/copyfilter.h"

int copytext(textin* in, textout* out) {
  // Each span is the translated bytes of one read, taken whole; ending the
  // call after it puts them on a terminal at once, while a file or a pipe
  // goes on collecting its 4096-byte block.
  long got;
  while ((got = textfill(in)) > 0 && !out->failed && !out->gone) {
    textwrite(out, in->buf + in->start, static_cast<std::size_t>(got));
    in->start = in->end;
    textendcall(out);
  }
  textflush(out);
  if (out->gone)
    return 0;
  return (got < 0 || out->failed) ? -1 : 0;
}
