#include "smoother/writer.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <sched.h>

#include "smoother/lines.h"
#include "smoother/numbers.h"
#include "smoother/tmpcopy.h"

// Longest output line: the kept text with its tab; in a data line two
// printed values per column; in the header each column name twice, with
// their endings, where all the names together fit in one piece.
constexpr std::size_t maxoutline =
    3 * (maxpiece + 1) + maxcols * 2 * (maxformatted + 1);

static char* put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

static char* putvalue(char* at, double v) {
  at = formatvalue(v, at);
  *at++ = '\t';
  return at;
}

// Puts the fields inserted after data column k: its new names in the
// header (r = -1), its smoothed value and error in data line r.
static char* insertfields(const options& opt, const table& tab,
                          std::string_view name, int k, int r, char* at) {
  if (r >= 0) {
    at = putvalue(at, tab.LRout[k][r]);
    return opt.outopt == 2 ? putvalue(at, tab.dLRout[k][r]) : at;
  }
  at = put(at, name);
  if (opt.outopt == 0)
    return put(at, "-plotline\t");
  at = put(put(at, "_smoothed"), decimal(opt.smoothfunc));
  *at++ = '\t';
  if (opt.outopt == 2)
    at = put(put(at, name), "_error\t");
  return at;
}

// Builds output line r at at, from the fields of its kept line, each of
// which is followed by a tab in memory, the last one too, and returns its
// end. The line's own text is copied in spans that end where fields are
// inserted or left out, rather than field by field. The header's data
// fields name their columns, in names, for the fields inserted after them.
static char* buildline(const diag& dg, const options& opt, const table& tab,
                       const std::string_view* fields, int nfields, int r,
                       std::string_view* names, char* at) {
  const char* span = fields[0].data();  // kept text not yet copied
  for (int i = 4; i < nfields; ++i) {
    const fieldrole& role = tab.role[i];
    const char* after = fields[i].data() + fields[i].size() + 1;
    if (role.kind == fieldkind::stray) {
      at = put(at, std::string_view(span, fields[i].data()));
      span = after;
      say(dg, {"Output counting error line ", decimal(r), " array ",
               decimal(role.col)});
    } else if (r < 0 && role.kind == fieldkind::data) {
      names[role.col] = fields[i];
    }
    if (role.insert) {
      at = put(at, std::string_view(span, after));
      span = after;
      at = insertfields(opt, tab, names[role.col], role.col, r, at);
    }
  }
  const std::string_view& last = fields[nfields - 1];
  at = put(at, std::string_view(span, last.data() + last.size() + 1));
  at[-1] = '\n';
  return at;
}

// Reads the next kept line into text (room for maxpiece + 1 bytes) and
// puts a tab in place of its LF, or after it when it has none. Returns the
// length with the tab, or -1 when the copy did not give the line back.
static long takeline(textin* copy, char* text) {
  long len = readpiece(copy, text);
  if (len <= 0)
    return -1;
  len -= text[len - 1] == '\n';
  text[len] = '\t';
  return len + 1;
}

// Splits a line taken by takeline into fields.
static int splitline(const char* text, std::size_t len,
                     std::string_view* fields) {
  return splitfields(std::string_view(text, len - 1), fields);
}

namespace {

// A block of kept lines and the output lines built from them. The thread
// ahead reads the block while the main thread writes the one before; then
// both build its lines, one at a time: the thread ahead from the front,
// the main thread each line it comes to that nobody has taken. A line
// whose fields would need a message, or that does not split, is left to
// the main thread, so that the messages keep their order.
constexpr std::size_t piecesroom = blockspacesize / 8;
constexpr std::size_t textroom = blockspacesize / 2 - piecesroom;
constexpr int blocklines = 512;
enum : unsigned char { untaken, built, left };
struct outblock {
  int first;   // row of the first line
  int nlines;  // lines read into pieces
  bool failed; // the copy gave back no line after them
  std::atomic<int> taken;  // lines either thread has taken to build
  std::uint32_t pieceends[blocklines];
  std::uint32_t begins[blocklines];  // where each built line lies in text
  std::uint32_t ends[blocklines];
  std::atomic<unsigned char> state[blocklines];
  char* pieces;  // piecesroom bytes
  char* text;    // textroom bytes
};

// What both threads of pass 2 share. The thread ahead alone reads the
// copy; the main thread alone writes and speaks.
struct passtwo {
  const diag* dg;
  const options* opt;
  const table* tab;
  textin* copy;
  std::string_view names[maxcols];
  int row;         // the next row to read
  outblock blocks[2];
  ahead worker;
};

}  // namespace

// Reads the next block of kept lines into b; none once all rows are read.
static void readblock(passtwo* p, outblock* b) {
  b->first = p->row;
  b->nlines = 0;
  b->failed = false;
  b->taken = 0;
  std::size_t len = 0;
  while (p->row < p->tab->nrows && b->nlines < blocklines &&
         piecesroom - len > maxpiece) {
    long n = takeline(p->copy, b->pieces + len);
    b->failed = n < 0;
    if (b->failed)
      return;
    b->state[b->nlines].store(untaken, std::memory_order_relaxed);
    len += static_cast<std::size_t>(n);
    b->pieceends[b->nlines++] = static_cast<std::uint32_t>(len);
    ++p->row;
  }
}

// Splits line i of block b into fields; -1 when it does not split.
static int splitpiece(const outblock* b, int i, std::string_view* fields) {
  std::uint32_t from = i > 0 ? b->pieceends[i - 1] : 0;
  return splitline(b->pieces + from, b->pieceends[i] - from, fields);
}

// Builds the lines of block b that the main thread has not taken, while
// there is room for them.
static void buildlines(passtwo* p, outblock* b) {
  static char line[maxoutline];  // for a line that might not fit
  std::string_view fields[maxfields];
  std::size_t len = 0;
  for (int i; (i = b->taken.fetch_add(1)) < b->nlines;) {
    int nfields = splitpiece(b, i, fields);
    bool direct = textroom - len >= maxoutline;
    char* at = direct ? b->text + len : line;
    char* end = nullptr;
    if (nfields >= 0 && nfields <= p->tab->firststray)
      end = buildline(*p->dg, *p->opt, *p->tab, fields, nfields,
                      b->first + i, p->names, at);
    std::size_t size = end ? static_cast<std::size_t>(end - at) : 0;
    if (!end || (!direct && size > textroom - len)) {
      b->state[i].store(left, std::memory_order_release);
      continue;
    }
    if (!direct)
      std::memcpy(b->text + len, line, size);
    b->begins[i] = static_cast<std::uint32_t>(len);
    len += size;
    b->ends[i] = static_cast<std::uint32_t>(len);
    b->state[i].store(built, std::memory_order_release);
  }
}

static void* buildahead(void* arg) {
  auto* p = static_cast<passtwo*>(arg);
  // Each block is read first, so that the main thread never waits for
  // one; the lines of the block before are built after.
  outblock* before = nullptr;
  for (int i = 0; aheadnext(&p->worker); i ^= 1) {
    readblock(p, &p->blocks[i]);
    aheaddone(&p->worker);
    if (before)
      buildlines(p, before);
    before = &p->blocks[i];
  }
  return nullptr;
}

static bool stopped(const textout* out) { return out->failed || out->gone; }

// Writes one output line as one call of its own.
static void writeline(textout* out, const char* line, std::size_t len) {
  textwrite(out, line, len);
  textendcall(out);
}

// Builds line i of block b on the main thread and writes it. Returns 0, or
// -1 when its kept line does not split.
static int buildandwrite(passtwo* p, const outblock* b, int i,
                         textout* out) {
  static char line[maxoutline];
  std::string_view fields[maxfields];
  int nfields = splitpiece(b, i, fields);
  if (nfields < 0)
    return -1;
  char* end = buildline(*p->dg, *p->opt, *p->tab, fields, nfields,
                        b->first + i, p->names, line);
  writeline(out, line, static_cast<std::size_t>(end - line));
  return 0;
}

// The state of line i once it is settled: built by the thread ahead, or
// left (or taken now) to the main thread.
static unsigned char settle(outblock* b, int i) {
  int expected = i;
  if (b->taken.compare_exchange_strong(expected, i + 1))
    return left;
  unsigned char state;
  // The thread ahead is building this very line: a few microseconds.
  while ((state = b->state[i].load(std::memory_order_acquire)) == untaken)
    sched_yield();
  return state;
}

// Writes the lines of block b; stops once out fails or its reader has
// gone. Returns 0, or -1 after writing the message when the copy did not
// give back every line.
static int writeblock(passtwo* p, outblock* b, textout* out) {
  for (int i = 0; i < b->nlines && !stopped(out); ++i) {
    if (settle(b, i) == built) {
      writeline(out, b->text + b->begins[i], b->ends[i] - b->begins[i]);
    } else if (buildandwrite(p, b, i, out) < 0) {
      tmpreadfailed(*p->dg);
      return -1;
    }
  }
  if (b->failed && !stopped(out)) {
    tmpreadfailed(*p->dg);
    return -1;
  }
  return 0;
}

// Writes the rows after the header: the thread ahead reads each block
// while the one before is written, and both threads build its lines.
// Returns 0, or -1 after writing the message when the copy did not give
// back every line.
static int writerows(passtwo* p, textout* out) {
  const bool started = p->worker.started;
  if (started) {
    aheadask(&p->worker);  // both blocks are free to read into
    aheadask(&p->worker);
  }
  int status = 0;
  for (int i = 0;; i ^= 1) {
    outblock* b = &p->blocks[i];
    if (started)
      aheadwait(&p->worker);
    else
      readblock(p, b);
    if (b->nlines == 0 && !b->failed)
      break;
    status = writeblock(p, b, out);
    if (status < 0 || stopped(out))
      break;
    if (started)
      aheadask(&p->worker);  // b is free again
  }
  aheadend(&p->worker);
  return status;
}

int writetable(const diag& dg, const options& opt, const table& tab,
               textin* copy, textout* out) {
  static passtwo p;
  p.dg = &dg;
  p.opt = &opt;
  p.tab = &tab;
  p.copy = copy;
  p.row = 0;
  if (tab.header) {
    // The header stays in its own buffer: the column names point into it.
    static char header[maxpiece + 1];
    static char line[maxoutline];
    std::string_view fields[maxfields];
    long len = takeline(copy, header);
    int nfields = len < 0 ? -1
                          : splitline(header, static_cast<std::size_t>(len),
                                      fields);
    if (nfields < 0) {
      tmpreadfailed(dg);
      return -1;
    }
    char* end = buildline(dg, opt, tab, fields, nfields, -1, p.names, line);
    writeline(out, line, static_cast<std::size_t>(end - line));
  }
  if (tab.nrows <= 0 || stopped(out))
    return 0;
  for (int b = 0; b < 2; ++b) {
    p.blocks[b].pieces = blockspace() + b * (blockspacesize / 2);
    p.blocks[b].text = p.blocks[b].pieces + piecesroom;
  }
  aheadstart(&p.worker, buildahead, &p);
  return writerows(&p, out);
}
