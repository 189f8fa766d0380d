#include "smoother/reader.h"

#include <cstdlib>
#include <limits>

#include "smoother/lines.h"
#include "smoother/numbers.h"

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

// Gives every field index from 4 on its role, walking the layout as each
// line will be walked: a data field, then its error field if it has one,
// and the next column only once the current one is complete.
static void decideroles(table* tab) {
  int k = 0;
  for (int i = 4; i < maxfields; ++i) {
    fieldrole& role = tab->role[i];
    bool column = k < tab->nLR;
    bool alone = column && tab->dLRcol[k] == 0;
    if (column && i == tab->LRcol[k])
      role = {fieldkind::data, k, alone};
    else if (column && i == tab->dLRcol[k])
      role = {fieldkind::error, k, true};
    else
      role = {fieldkind::stray, k, alone};
    k += role.insert;
  }
}

// Decides the role of every header field from index 4 on and reserves the
// value arrays. Returns 0, or -1 after writing its message.
static int readheader(const diag& dg, std::string_view header,
                      const std::string_view* fields, int nfields,
                      table* tab) {
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
  decideroles(tab);
  return 0;
}

// Stores the position and values of data line n as row tab->nrows. With
// missing set, a data value the line does not give is missing.
static void readrow(const diag& dg, bool missing,
                    const std::string_view* fields, int nfields, int n,
                    table* tab) {
  int r = tab->nrows;
  if (nfields > 2)
    tab->pos[r] = readint(fields[2]);
  if (missing)
    for (int k = 0; k < tab->nLR; ++k)
      tab->LR[k][r] = std::numeric_limits<double>::quiet_NaN();
  for (int i = 4; i < nfields; ++i) {
    const fieldrole& role = tab->role[i];
    if (role.kind == fieldkind::stray) {
      say(dg, {"Counting error line ", decimal(n), " array ",
               decimal(role.col)});
      return;
    }
    bool data = role.kind == fieldkind::data;
    double value = readnumber(fields[i]);
    if (data && missing && value == 0 && !hasdigits(fields[i]))
      continue;  // stays missing
    (data ? tab->LR : tab->dLR)[role.col][r] = value;
  }
}

// Reads input line lineno (the header is line 1) into piece. Returns its
// length, 0 at end of input, or -1 after writing the message.
static long readline(const diag& dg, textin* in, char* piece,
                     long long lineno) {
  long len = readpiece(in, piece);
  if (len < 0) {
    say(dg, {"Error reading standard input"});
    return -1;
  }
  if (toolong(std::string_view(piece, static_cast<std::size_t>(len)))) {
    say(dg, {"Input line ", decimal(lineno),
             " is longer than 2046 characters"});
    return -1;
  }
  return len;
}

// Splits input line lineno into fields. Returns how many, or -1 after
// writing the message.
static int readfields(const diag& dg, std::string_view line,
                      std::string_view* fields, long long lineno) {
  int nfields = splitfields(line, fields);
  if (nfields < 0)
    say(dg, {"Input line ", decimal(lineno), " has more than 132 fields"});
  return nfields;
}

int readtable(const diag& dg, const options& opt, textin* in, textout* copy,
              table* tab) {
  char piece[maxpiece];
  std::string_view fields[maxfields];
  long len = readline(dg, in, piece, 1);
  if (len <= 0)
    return static_cast<int>(len);  // empty input: no header, no columns
  std::string_view header(piece, static_cast<std::size_t>(len));
  tab->header = true;
  int nfields = readfields(dg, header, fields, 1);
  if (nfields < 0 || readheader(dg, header, fields, nfields, tab) < 0)
    return -1;
  textwrite(copy, piece, header.size());
  // Every line after the header counts, skipped ones too; past the limit
  // only lines that would be skipped anyway may follow.
  for (long long n = 0;; ++n) {
    len = readline(dg, in, piece, n + 2);
    if (len <= 0)
      return static_cast<int>(len);
    if (isblankbyte(static_cast<unsigned char>(piece[0])))
      continue;
    if (n >= maxrows) {
      say(dg, {"More than 50000 lines after the header"});
      return -1;
    }
    std::string_view line(piece, static_cast<std::size_t>(len));
    nfields = readfields(dg, line, fields, n + 2);
    if (nfields < 0)
      return -1;
    readrow(dg, opt.missing == 1, fields, nfields, static_cast<int>(n), tab);
    ++tab->nrows;
    textwrite(copy, piece, line.size());
  }
}
