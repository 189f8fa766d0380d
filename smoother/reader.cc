#include "smoother/reader.h"

#include <cstdlib>
#include <cstring>

#include "smoother/main.h"
#include "smoother/numbers.h"

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

int splitfields(std::string_view piece, std::string_view* fields) {
  const char* text = piece.data();
  const char* end = text + piece.size();
  bool lineend = end > text && end[-1] == '\n';
  if (lineend)
    --end;
  // Fields are short, so a plain scan beats a library search per field.
  int n = 0;
  const char* from = text;
  for (const char* p = text; n < maxfields; ++p) {
    if (p == end) {
      if (lineend)
        fields[n++] =
            std::string_view(from, static_cast<std::size_t>(p - from));
      break;
    }
    if (*p == '\t') {
      fields[n++] = std::string_view(from, static_cast<std::size_t>(p - from));
      from = p + 1;
    }
  }
  return n;
}

bool iserrorname(std::string_view name) {
  static const char word[] = "error";
  for (std::size_t i = 0; i + 5 <= name.size(); ++i) {
    std::size_t j = 0;
    while (j < 5 && (name[i + j] | 0x20) == word[j])
      ++j;
    if (j == 5)
      return true;
  }
  return false;
}

// A value array with room for every row; rows a line does not reach read 0.
static double* reservevalues() {
  return static_cast<double*>(std::calloc(maxrows, sizeof(double)));
}

// Decides the role of every header field from index 4 on and reserves the
// value arrays. Returns 0, or -1 after writing its message.
static int readheader(const diag& dg, std::string_view header, table* tab) {
  std::string_view fields[maxfields];
  int nfields = splitfields(header, fields);
  for (int i = 4; i < nfields; ++i) {
    if (iserrorname(fields[i])) {
      if (tab->nLR > 0) {
        int k = tab->nLR - 1;
        // A second error column takes the place of the first; the array
        // already reserved serves it.
        if (!tab->dLR[k] && !(tab->dLR[k] = reservevalues())) {
          say(dg, {"Unable to allocate memory for dLR[", decimal(k), "]"});
          return -1;
        }
        tab->dLRcol[k] = i;
        continue;
      }
      // With no data column to belong to, it is read as a data column.
      say(dg, {"Error parsing header ", header});
    }
    int k = tab->nLR;
    if (k == maxcols) {
      say(dg, {"Too many data columns (at most 64)"});
      return -1;
    }
    if (!(tab->LR[k] = reservevalues())) {
      say(dg, {"Unable to allocate memory for LR[", decimal(k), "]"});
      return -1;
    }
    tab->LRcol[k] = i;
    tab->nLR = k + 1;
  }
  return 0;
}

// Stores the position and values of data line n as row tab->nrows.
static void readrow(const diag& dg, std::string_view line, int n, table* tab) {
  std::string_view fields[maxfields];
  int nfields = splitfields(line, fields);
  int r = tab->nrows;
  int k = 0;
  for (int i = 0; i < nfields; ++i) {
    if (i == 2) {
      tab->pos[r] = readint(fields[i]);
    } else if (i >= 4) {
      if (k < tab->nLR && i == tab->LRcol[k]) {
        tab->LR[k][r] = readnumber(fields[i]);
        if (tab->dLRcol[k] == 0)
          ++k;
      } else if (k < tab->nLR && i == tab->dLRcol[k]) {
        tab->dLR[k][r] = readnumber(fields[i]);
        ++k;
      } else {
        say(dg, {"Counting error line ", decimal(n), " array ", decimal(k)});
        break;
      }
    }
  }
}

static int readfailed(const diag& dg) {
  say(dg, {"Error reading standard input"});
  return -1;
}

int readtable(const diag& dg, textin* in, textout* tmp, table* tab) {
  char piece[maxpiece];
  long len = readpiece(in, piece);
  if (len < 0)
    return readfailed(dg);
  if (len > 0) {
    std::string_view header(piece, static_cast<std::size_t>(len));
    if (readheader(dg, header, tab) < 0)
      return -1;
    textwrite(tmp, piece, header.size());
  }
  for (int n = 0; len > 0 && n < maxrows; ++n) {
    len = readpiece(in, piece);
    if (len < 0)
      return readfailed(dg);
    if (len == 0)
      break;
    if (isblankbyte(static_cast<unsigned char>(piece[0])))
      continue;
    std::string_view line(piece, static_cast<std::size_t>(len));
    readrow(dg, line, n, tab);
    ++tab->nrows;
    textwrite(tmp, piece, line.size());
  }
  if (textclose(tmp) < 0) {
    say(dg, {"Error writing ", tmpname});
    return -1;
  }
  return 0;
}
