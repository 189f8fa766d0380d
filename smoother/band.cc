#include "smoother/band.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "smoother/lines.h"

// The most bytes that the rooms of chunks take at once, with b's
// roomsahead, and the most rooms; the largest chunk's room is added, for
// the bytes a room that goes round the ring's end leaves unused.
static std::size_t roomsize(const plan& pl, const table& tab, const band& b,
                            long* rooms) {
  std::size_t held = 0;  // the rooms of the chunks [w, upto)
  std::size_t most = 0;
  long upto = 0;
  *rooms = 1;
  for (long w = 0; w < pl.nchunks; ++w) {
    const long need = b.roomsahead
                          ? std::min(chunksneeded(pl, w), w + b.roomsahead)
                          : chunksneeded(pl, w);
    for (; upto < need; ++upto) {
      std::size_t size;
      chunkat(pl, tab, upto, &size);
      held += size + roomspare;
    }
    *rooms = std::max(*rooms, need - w);
    most = std::max(most, held);
    std::size_t size;
    chunkat(pl, tab, w, &size);
    held -= size + roomspare;
  }
  return most + chunkroom(b) + 1;
}

bool bandreserve(band* b, const plan& pl, const table& tab,
                 std::size_t budget, long* widest) {
  // The most rows kept at once: while chunk w is written, from the lowest
  // row a window still takes up to the end of the chunks that w + ahead
  // needs.
  long rows = 1;
  *widest = 0;
  b->largest = 0;
  for (long w = 0; w < pl.nchunks; ++w) {
    const long loaded = std::min(tab.nrows, chunksneeded(pl, w) * pl.chunkrows);
    if (loaded - pl.reachfrom[w] > rows) {
      rows = loaded - pl.reachfrom[w];
      *widest = w * pl.chunkrows;
    }
    std::size_t size;
    chunkat(pl, tab, w, &size);
    b->largest = std::max(b->largest, size);
  }
  long rooms;
  b->roomsahead = 0;
  std::size_t text = roomsize(pl, tab, *b, &rooms);
  b->nreads = rooms;
  if (text > budget) {
    b->roomsahead = inflight(pl);
    text = roomsize(pl, tab, *b, &rooms);
  }
  const layout& lay = tab.lay;
  b->nslots = rows;
  b->ncols = lay.nLR;
  b->nerr = lay.nerr;
  b->cap = text;
  b->nrooms = rooms;
  const auto slots = static_cast<std::size_t>(rows);
  return slots < SIZE_MAX / 2 / static_cast<std::size_t>(lay.nLR + 1) &&
         (b->values = allocate<double>(slots * lay.nLR)) &&
         (b->errors = allocate<double>(slots * lay.nerr)) &&
         (b->spans = allocate<textspan>(slots)) &&
         (b->bytes = allocate<char>(text)) &&
         (b->rooms = allocate<textspan>(static_cast<std::size_t>(rooms)));
}

void bandadmit(band* b, std::size_t size) {
  // A room has bytes to spare after its lines. Rooms lie in order round
  // the ring; the plan leaves room for each.
  size += roomspare;
  std::size_t at = 0;
  if (b->held > 0) {
    const textspan& oldest = b->rooms[b->oldest % b->nrooms];
    const textspan& newest = b->rooms[(b->oldest + b->held - 1) % b->nrooms];
    const std::size_t head = newest.start + newest.size;
    at = head >= oldest.start && size > b->cap - head ? 0 : head;
  }
  b->rooms[(b->oldest + b->held) % b->nrooms] = {at, size};
  ++b->held;
}

void bandrelease(band* b) {
  ++b->oldest;
  --b->held;
}

bool bandread(const copysource& src, char* to, std::size_t size,
              std::uint64_t at) {
  while (size > 0) {
    const ssize_t got = pread(src.fd, to, size, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    to += got;
    size -= static_cast<std::size_t>(got);
    at += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool bandlines(band* b, const copysource& src, long first, long end,
               char* lines, std::size_t size, bool keep, bool values) {
  // The spare bytes are set: a word read across them reads defined bytes.
  std::memset(lines + size, 0, roomspare);
  const char* stop = lines + size;
  char* from = lines;
  for (long j = first; j < end; ++j) {
    // The copy writes each line end as CR LF, and only the table's last
    // line may have none. The byte before the line's end, CR or LF,
    // becomes the tab after its text.
    auto* lf = static_cast<char*>(
        std::memchr(from, '\n', static_cast<std::size_t>(stop - from)));
    if (!lf && j + 1 < src.nrows)
      return false;
    char* textend = lf ? lf : lines + size;
    if (lf && textend > from && textend[-1] == '\r')
      --textend;
    *textend = '\t';
    const std::string_view text(from, static_cast<std::size_t>(textend - from));
    if (keep)
      b->spans[j % b->nslots] = {
          static_cast<std::size_t>(from - b->bytes.get()), text.size() + 1};
    if (values)
      readvalues(*src.lay, src.missing, text, bandvalues(*b, j),
                 banderrors(*b, j));
    from = lf ? lf + 1 : lines + size;
  }
  return from == stop;
}
