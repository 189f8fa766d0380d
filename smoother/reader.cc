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
  tab->firststray = maxfields;
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
    if (role.kind == fieldkind::stray && tab->firststray == maxfields)
      tab->firststray = i;
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

// Stores the position and values of a data line as row r, up to its first
// field that is not in the layout. With missing set, a data value the line
// does not give is missing.
static void readrow(bool missing, const std::string_view* fields,
                    int nfields, int r, table* tab) {
  if (nfields > 2)
    tab->pos[r] = readint(fields[2]);
  if (missing)
    for (int k = 0; k < tab->nLR; ++k)
      tab->LR[k][r] = std::numeric_limits<double>::quiet_NaN();
  for (int i = 4; i < nfields && i < tab->firststray; ++i) {
    const fieldrole& role = tab->role[i];
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

// Passes on nfields, the count of input line lineno's fields from
// splitfields, after writing the message when it is -1.
static int checkfields(const diag& dg, int nfields, long long lineno) {
  if (nfields < 0)
    say(dg, {"Input line ", decimal(lineno), " has more than 132 fields"});
  return nfields;
}

// Reads the data lines, copies each accepted one to the intermediate file
// and stores its row. Returns 0, or -1 after writing its message.
static int readlines(const diag& dg, const options& opt, textin* in,
                     textout* copy, table* tab) {
  char piece[maxpiece];
  std::string_view fields[maxfields];
  // Every line after the header counts, skipped ones too; past the limit
  // only lines that would be skipped anyway may follow.
  for (long long n = 0;; ++n) {
    long len = readline(dg, in, piece, n + 2);
    if (len <= 0)
      return static_cast<int>(len);
    if (isblankbyte(static_cast<unsigned char>(piece[0])))
      continue;
    if (n >= maxrows) {
      say(dg, {"More than 50000 lines after the header"});
      return -1;
    }
    std::string_view line(piece, static_cast<std::size_t>(len));
    int nfields = checkfields(dg, splitfields(line, fields), n + 2);
    if (nfields < 0)
      return -1;
    if (nfields > tab->firststray)
      say(dg, {"Counting error line ", decimal(n), " array ",
               decimal(tab->role[tab->firststray].col)});
    readrow(opt.missing == 1, fields, nfields, tab->nrows++, tab);
    textwrite(copy, piece, line.size());
  }
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
  int nfields = checkfields(dg, splitfields(header, fields), 1);
  if (nfields < 0 || readheader(dg, header, fields, nfields, tab) < 0)
    return -1;
  textwrite(copy, piece, header.size());
  return readlines(dg, opt, in, copy, tab);
}
