#include "smoother/outwatch.h"

#include <ctime>

#include "textio/textio.h"

// Often enough that a run ends well within half a second of its reader,
// rarely enough that the looking never shows in its time.
constexpr long long lookevery = 20000000;  // nanoseconds

void outwatchopen(outwatch* w, int fd) {
  w->fd = ispipe(fd) ? fd : -1;
}

bool outlook(outwatch* w) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  const long long now = ts.tv_sec * 1000000000LL + ts.tv_nsec;
  long long due = w->next.load(std::memory_order_relaxed);
  if (now < due ||
      !w->next.compare_exchange_strong(due, now + lookevery,
                                       std::memory_order_relaxed))
    return w->gone.load(std::memory_order_relaxed);
  if (readergone(w->fd))
    w->gone.store(true, std::memory_order_relaxed);
  return w->gone.load(std::memory_order_relaxed);
}
