#include "smoother/band.h"

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "smoother/lines.h"
#include "smoother/numbers.h"

// n items of size bytes, or null when they cannot be had or counted.
static void* reserve(long n, std::size_t size) {
  if (n < 0 || static_cast<std::size_t>(n) > SIZE_MAX / size)
    return nullptr;
  return std::malloc(static_cast<std::size_t>(n) * size + 1);
}

bool bandreserve(band* b, const layout& lay, long nslots) {
  b->nslots = nslots;
  b->ncols = lay.nLR;
  b->nerr = lay.nerr;
  const long maxslots = std::numeric_limits<long>::max() / (lay.nLR + 1);
  return nslots < maxslots &&
         (b->values = static_cast<double*>(
              reserve(nslots * lay.nLR, sizeof(double)))) &&
         (b->errors = static_cast<double*>(
              reserve(nslots * lay.nerr, sizeof(double))));
}

void readvalues(const layout& lay, bool missing, std::string_view line,
                double* values, double* errors) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int k = 0; k < lay.nLR; ++k)
    values[k] = missing ? nan : 0.0;
  for (int e = 0; e < lay.nerr; ++e)
    errors[e] = 0.0;
  fieldwalk walk = walkfields(line);
  std::string_view field;
  for (long i = 0; i < lay.firststray && nextfield(&walk, &field); ++i) {
    if (i < 4)
      continue;
    const fieldrole& role = lay.role[i];
    const double value = readnumber(field);
    if (role.kind == fieldkind::error)
      errors[lay.errindex[role.col]] = value;
    else if (!missing || value != 0 || hasdigits(field))
      values[role.col] = value;
  }
  // A missing value has no error either: the marker leaves both out.
  for (int k = 0; missing && k < lay.nLR; ++k)
    if (lay.errindex[k] >= 0 && values[k] != values[k])
      errors[lay.errindex[k]] = nan;
}

bool textreserve(textring* t, std::size_t cap, long nslots) {
  t->cap = cap;
  t->nslots = nslots;
  return (t->bytes = static_cast<char*>(reserve(1, cap))) &&
         (t->lines = static_cast<textspan*>(reserve(nslots, sizeof(textspan))));
}

char* textput(textring* t, long j, std::size_t size) {
  if (t->kept == 0)
    t->head = t->tail = 0;
  // Kept bytes lie in [tail, head) with the ring free around them, or,
  // once the head has gone round, in [tail, cap) and [0, head) with the
  // ring free between; an equal head and tail would be ambiguous, so the
  // head never catches up with the tail.
  std::size_t at;
  if (t->head >= t->tail) {
    if (size <= t->cap - t->head)
      at = t->head;
    else if (size < t->tail)
      at = 0;
    else
      return nullptr;
  } else if (size < t->tail - t->head) {
    at = t->head;
  } else {
    return nullptr;
  }
  t->lines[j % t->nslots] = {at, size};
  t->head = at + size;
  ++t->kept;
  return t->bytes + at;
}

void textdrop(textring* t, long count, long next) {
  t->kept -= count;
  if (t->kept > 0)
    t->tail = t->lines[next % t->nslots].start;
}
