#include "smoother/lines.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <sched.h>

long readpiece(textin* in, char* piece) {
  std::size_t have = 0;
  while (have < maxpiece) {
    long avail = textfill(in);
    if (avail < 0)
      return -1;
    if (avail == 0)
      break;
    std::size_t take = static_cast<std::size_t>(avail);
    if (take > maxpiece - have)
      take = maxpiece - have;
    const unsigned char* from = in->buf + in->start;
    const void* lf = std::memchr(from, '\n', take);
    if (lf)
      take = static_cast<std::size_t>(static_cast<const unsigned char*>(lf) -
                                      from) + 1;
    std::memcpy(piece + have, from, take);
    have += take;
    in->start += take;
    if (lf)
      break;
  }
  return static_cast<long>(have);
}

bool toolong(std::string_view piece) {
  return piece.size() == maxpiece && piece.back() != '\n';
}

// Marks, with its high bit, every byte of word that is a tab.
static std::uint64_t tabsin(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  std::uint64_t x = word ^ (ones * '\t');
  // The high bit of a byte of x is set where the byte is zero, and only
  // there: no carry crosses from one byte into the next.
  return ~(((x & (ones * 0x7f)) + ones * 0x7f) | x) & (ones * 0x80);
}

int splitfields(std::string_view line, std::string_view* fields) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  // Tabs are found eight bytes at a time: fields are short, so a library
  // search per field would cost more than it saves.
  const char* text = line.data();
  const std::size_t size = line.size();
  int n = 0;
  std::size_t from = 0;
  std::size_t p = 0;
  auto field = [&](std::size_t tab) {
    fields[n++] = std::string_view(text + from, tab - from);
    from = tab + 1;
  };
  for (; p + 8 <= size; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + p, 8);
    for (std::uint64_t tabs = tabsin(word); tabs != 0; tabs &= tabs - 1) {
      if (n == maxfields - 1)
        return -1;
      field(p + static_cast<std::size_t>(__builtin_ctzll(tabs)) / 8);
    }
  }
  for (; p < size; ++p) {
    if (text[p] != '\t')
      continue;
    if (n == maxfields - 1)
      return -1;
    field(p);
  }
  fields[n++] = std::string_view(text + from, size - from);
  return n;
}

int countfields(std::string_view line) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  const char* text = line.data();
  const std::size_t size = line.size();
  int tabs = 0;
  std::size_t p = 0;
  for (; p + 8 <= size; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + p, 8);
    // One bit per tab, each at the foot of its byte: the multiplication
    // sums the bytes into the top one, where no count can overflow.
    tabs += static_cast<int>(((tabsin(word) >> 7) * 0x0101010101010101u) >> 56);
  }
  for (; p < size; ++p)
    tabs += text[p] == '\t';
  return tabs < maxfields ? tabs + 1 : -1;
}

char* blockspace() {
  alignas(64) static char space[blockspacesize];
  return space;
}

// More than one core the process may run on: on one, a second thread only
// takes turns with the first.
static bool severalcores() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
}

bool aheadstart(ahead* a, void* (*loop)(void*), void* arg) {
  a->started = false;
  a->quit = false;
  if (!severalcores() || sem_init(&a->go, 0, 0) != 0)
    return false;
  if (sem_init(&a->done, 0, 0) != 0) {
    sem_destroy(&a->go);
    return false;
  }
  a->started = pthread_create(&a->thread, nullptr, loop, arg) == 0;
  if (!a->started) {
    sem_destroy(&a->go);
    sem_destroy(&a->done);
  }
  return a->started;
}

// A wait that a signal handler's return does not cut short.
static void waitfor(sem_t* s) {
  while (sem_wait(s) != 0 && errno == EINTR) {
  }
}

void aheadask(ahead* a) { sem_post(&a->go); }

void aheadwait(ahead* a) { waitfor(&a->done); }

bool aheadnext(ahead* a) {
  waitfor(&a->go);
  return !a->quit;
}

void aheaddone(ahead* a) { sem_post(&a->done); }

void aheadend(ahead* a) {
  if (!a->started)
    return;
  a->quit = true;
  sem_post(&a->go);
  pthread_join(a->thread, nullptr);
  sem_destroy(&a->go);
  sem_destroy(&a->done);
  a->started = false;
}
