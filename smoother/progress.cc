#include "smoother/progress.h"

#include <cstdio>
#include <ctime>

#include <sys/stat.h>

static long long now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// True when the descriptors a and b are one terminal.
static bool oneterminal(int a, int b) {
  struct stat sa;
  struct stat sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && S_ISCHR(sa.st_mode) &&
         S_ISCHR(sb.st_mode) && sa.st_rdev == sb.st_rdev;
}

void progressstart(progress* p, textout* err, const textout& out) {
  *p = progress();
  p->err = err->terminal && !oneterminal(err->fd, out.fd) ? err : nullptr;
  p->start = now();
  p->next = p->start + 1000000000LL;  // a short run shows nothing
}

// Writes count blanks to err.
static void blanks(textout* err, int count) {
  for (int c = 0; c < count; ++c)
    textwrite(err, " ", 1);
}

void progressat(progress* p, int pass, long long done, long long total,
                unsigned long long read) {
  if (!p->err)
    return;
  const long long t = now();
  if (t < p->next)
    return;
  p->next = t + 200000000LL;
  char line[160];
  int size;
  if (pass == 2)
    size = std::snprintf(line, sizeof line,
                         "\rpass 2 of 2, writing: %lld of %lld rows, %lld%%",
                         done, total, total > 0 ? done * 100 / total : 100);
  else if (p->inputsize > 0)
    size = std::snprintf(line, sizeof line,
                         "\rpass 1 of 2, reading: %lld rows, %llu%%", done,
                         read * 100 / p->inputsize);
  else
    size = std::snprintf(line, sizeof line,
                         "\rpass 1 of 2, reading: %lld rows", done);
  textwrite(p->err, line, static_cast<std::size_t>(size));
  // Blanks over what is left of a longer line before.
  blanks(p->err, p->shown - (size - 1));
  textendcall(p->err);
  p->shown = size - 1;
}

void progresserase(progress* p) {
  if (!p->err || p->shown == 0)
    return;
  textwrite(p->err, "\r", 1);
  blanks(p->err, p->shown);
  textwrite(p->err, "\r", 1);
  textendcall(p->err);
  p->shown = 0;
}
