#include "smoother/band.h"

#include <algorithm>
#include <cstdint>
#include <limits>

bool bandreserve(band* b, const plan& pl, const table& tab, long* widest) {
  // The most rows and text kept at once: while chunk w is written, from
  // the lowest row a window still takes, or from w's first row for the
  // text, up to the rows chunk w + ahead needs.
  long rows = 1;
  std::size_t textbytes = 0;
  std::size_t bytes = 0;  // of the blocks [from, upto)
  long from = 0;
  long upto = 0;
  *widest = 0;
  for (long w = 0; w < pl.nchunks; ++w) {
    const long need = rowsneeded(pl, w);
    for (; upto * blockrows < need; ++upto)
      bytes += tab.blocks[upto].bytes;
    for (; from * blockrows < w * pl.chunkrows; ++from)
      bytes -= tab.blocks[from].bytes;
    if (need - pl.reachfrom[w] > rows) {
      rows = need - pl.reachfrom[w];
      *widest = w * pl.chunkrows;
    }
    textbytes = std::max(textbytes, bytes);
  }
  // Room for the longest line with a byte after its text, and to go round
  // the ring's end, which may leave the end's bytes unused.
  b->longest = tab.longest + 1;
  textbytes += 2 * (b->longest + 1);
  const layout& lay = tab.lay;
  b->nslots = rows;
  b->ncols = lay.nLR;
  b->nerr = lay.nerr;
  b->cap = textbytes;
  const auto slots = static_cast<std::size_t>(rows);
  return slots < SIZE_MAX / 2 / static_cast<std::size_t>(lay.nLR + 1) &&
         (b->values = allocate<double>(slots * lay.nLR)) &&
         (b->errors = allocate<double>(slots * lay.nerr)) &&
         (b->bytes = allocate<char>(textbytes)) &&
         (b->spans = allocate<textspan>(slots));
}

char* bandroom(band* b) {
  if (b->kept == 0)
    b->head = b->tail = 0;
  // Kept bytes lie in [tail, head) with the ring free around them, or,
  // once the head has gone round, in [tail, cap) and [0, head) with the
  // ring free between; an equal head and tail would be ambiguous, so the
  // head never catches up with the tail. The band's size leaves room for
  // a line of the longest.
  if (b->head >= b->tail && b->longest > b->cap - b->head)
    b->head = 0;
  return b->bytes.get() + b->head;
}

void bandkeep(band* b, long j, std::size_t size) {
  b->spans[j % b->nslots] = {b->head, size};
  b->head += size;
  ++b->kept;
}

void banddrop(band* b, long count, long next) {
  b->kept -= count;
  if (b->kept > 0)
    b->tail = b->spans[next % b->nslots].start;
}
