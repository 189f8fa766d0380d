// Whether the reader of standard output is still there. A run whose
// reader has gone (the end of `| head`) stops at once, silently: every
// row it read, smoothed or wrote after that would be for no one.
#pragma once

#include <atomic>

struct outwatch {
  int fd = -1;  // a pipe or socket; -1 for anything whose reader can't go
  std::atomic<bool> gone{false};
  std::atomic<long long> next{0};  // when to look again, in nanoseconds
};

// Sets w up to watch fd, if it is a pipe or a socket.
void outwatchopen(outwatch* w, int fd);

// Looks at the descriptor now, if it is time to. True when the reader
// has gone.
bool outlook(outwatch* w);

// True once the reader has gone. Any thread may ask, as often as it
// likes: the descriptor is looked at every few milliseconds at most.
inline bool outgone(outwatch* w) {
  return w->fd >= 0 &&
         (w->gone.load(std::memory_order_relaxed) || outlook(w));
}
