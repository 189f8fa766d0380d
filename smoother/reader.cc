#include "smoother/reader.h"

#include <atomic>
#include <cstdint>
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
// splitfields or countfields, after writing the message when it is -1.
static int checkfields(const diag& dg, int nfields, long long lineno) {
  if (nfields < 0)
    say(dg, {"Input line ", decimal(lineno), " has more than 132 fields"});
  return nfields;
}

namespace {

// Accepted lines kept for the thread ahead, which splits them and reads
// their numbers while the main thread reads and copies the next block.
// Whichever thread is free takes the next line of the block: the main
// thread helps once it has read its own block.
constexpr std::size_t blockroom = blockspacesize / 2;
constexpr int blocklines = 1024;
struct inblock {
  int first;   // row of the first line
  int nlines;
  std::size_t len;
  std::atomic<int> taken;  // lines either thread has taken to store
  std::uint32_t ends[blocklines];  // where each line ends in text
  char* text;  // blockroom bytes
};

// What both threads of pass 1 share. The main thread alone reads and
// speaks; the thread ahead alone copies, block by block in their order.
struct passone {
  const options* opt;
  table* tab;
  textout* copy;
  inblock* next;     // the block to store
  inblock* filling;  // the block the main thread reads into
  bool asked;      // the thread ahead has a block it has not finished
  inblock blocks[2];
  ahead worker;
};

}  // namespace

// Stores lines of the block p->next, one at a time, until none is left.
static void storeblock(passone* p) {
  inblock* b = p->next;
  std::string_view fields[maxfields];
  for (int i; (i = b->taken.fetch_add(1)) < b->nlines;) {
    std::size_t from = i > 0 ? b->ends[i - 1] : 0;
    std::string_view line(b->text + from, b->ends[i] - from);
    int nfields = splitfields(line, fields);
    readrow(p->opt->missing == 1, fields, nfields, b->first + i, p->tab);
  }
}

// Copies the block p->next to the intermediate file and stores its lines,
// helped by the main thread.
static void copyblock(passone* p) {
  textwrite(p->copy, p->next->text, p->next->len);
  storeblock(p);
}

static void* storeahead(void* arg) {
  auto* p = static_cast<passone*>(arg);
  while (aheadnext(&p->worker)) {
    copyblock(p);
    aheaddone(&p->worker);
  }
  return nullptr;
}

static void startblock(passone* p, inblock* b) {
  b->first = p->tab->nrows;
  b->nlines = 0;
  b->len = 0;
  b->taken = 0;
  p->filling = b;
}

// Helps the thread ahead store the block it was handed, and waits until
// every line of it is stored.
static void finishstore(passone* p) {
  if (!p->asked)
    return;
  storeblock(p);
  aheadwait(&p->worker);
  p->asked = false;
}

// Hands the block being filled on to be stored, once the block before it
// is, and starts filling the other.
static void handon(passone* p) {
  inblock* b = p->filling;
  finishstore(p);
  p->next = b;
  if (p->worker.started) {
    aheadask(&p->worker);
    p->asked = true;
  } else {
    copyblock(p);
  }
  startblock(p, b == &p->blocks[0] ? &p->blocks[1] : &p->blocks[0]);
}

// Reads the data lines into blocks and hands full blocks on, to be copied
// and stored. Returns 0, or -1 after writing its message.
static int readlines(const diag& dg, textin* in, passone* p) {
  table* tab = p->tab;
  // Every line after the header counts, skipped ones too; past the limit
  // only lines that would be skipped anyway may follow.
  for (long long n = 0;; ++n) {
    inblock* b = p->filling;
    char* piece = b->text + b->len;
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
    int nfields = checkfields(dg, countfields(line), n + 2);
    if (nfields < 0)
      return -1;
    if (nfields > tab->firststray)
      say(dg, {"Counting error line ", decimal(n), " array ",
               decimal(tab->role[tab->firststray].col)});
    ++tab->nrows;
    b->len += line.size();
    b->ends[b->nlines++] = static_cast<std::uint32_t>(b->len);
    if (b->nlines == blocklines || blockroom - b->len < maxpiece)
      handon(p);
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
  static passone p;
  p.opt = &opt;
  p.tab = tab;
  p.copy = copy;
  p.asked = false;
  p.blocks[0].text = blockspace();
  p.blocks[1].text = blockspace() + blockroom;
  startblock(&p, &p.blocks[0]);
  aheadstart(&p.worker, storeahead, &p);
  int status = readlines(dg, in, &p);
  // The rows read so far are stored before the run goes on or ends.
  handon(&p);
  finishstore(&p);
  aheadend(&p.worker);
  return status;
}
