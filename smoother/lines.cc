#include "smoother/lines.h"

#include <cstring>

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

int splitfields(std::string_view line, std::string_view* fields) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  // Fields are short, so a plain scan beats a library search per field.
  int n = 0;
  std::size_t from = 0;
  for (std::size_t p = 0; p < line.size(); ++p) {
    if (line[p] != '\t')
      continue;
    if (n == maxfields - 1)
      return -1;
    fields[n++] = line.substr(from, p - from);
    from = p + 1;
  }
  fields[n++] = line.substr(from);
  return n;
}
