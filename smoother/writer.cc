#include "smoother/writer.h"

#include <cstdint>
#include <cstring>
#include <string_view>

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
// splits it into fields, putting a tab after the last. Returns how many,
// or -1 when the copy did not give the line back.
static int takeline(textin* copy, char* text, std::string_view* fields) {
  long len = readpiece(copy, text);
  if (len <= 0)
    return -1;
  len -= text[len - 1] == '\n';
  int nfields =
      splitfields(std::string_view(text, static_cast<std::size_t>(len)),
                  fields);
  text[len] = '\t';
  return nfields;
}

namespace {

// Room for several output lines, built by the thread ahead while the main
// thread writes the block before. A line whose fields would need a message
// is not built but held, so that the main thread builds it in its turn and
// the messages keep their order.
constexpr std::size_t blockroom = 4 * maxoutline;
constexpr int blocklines = 1024;
struct outblock {
  int first;            // row of the first line
  int nlines;           // lines built
  int held;             // fields of the held line after them, or 0
  bool failed;          // the copy gave back no line after them
  std::uint32_t ends[blocklines];  // where each line ends in text
  char text[blockroom];
  char piece[maxpiece + 1];  // the held line, when there is one
  std::string_view fields[maxfields];
};

// What both threads of pass 2 share. The thread ahead alone reads the
// copy and builds lines; the main thread alone writes and speaks.
struct passtwo {
  const diag* dg;
  const options* opt;
  const table* tab;
  textin* copy;
  std::string_view names[maxcols];
  int firststray;  // the lowest field index that is not in the layout
  int row;         // the next row to read
  outblock* next;  // the block to fill
  outblock blocks[2];
  ahead worker;
};

}  // namespace

// Fills the block p->next with the lines from row p->row on, until it is
// full, the rows are done, the copy fails, or a line must be held.
static void fillblock(passtwo* p) {
  outblock* b = p->next;
  b->first = p->row;
  b->nlines = 0;
  b->held = 0;
  b->failed = false;
  std::size_t len = 0;
  char piece[maxpiece + 1];
  std::string_view* fields = b->fields;
  while (p->row < p->tab->nrows && b->nlines < blocklines &&
         blockroom - len >= maxoutline) {
    int nfields = takeline(p->copy, piece, fields);
    b->failed = nfields < 0;
    if (b->failed)
      return;
    ++p->row;
    if (nfields > p->firststray) {
      std::memcpy(b->piece, piece, sizeof piece);
      for (int i = 0; i < nfields; ++i)
        fields[i] = std::string_view(b->piece + (fields[i].data() - piece),
                                     fields[i].size());
      b->held = nfields;
      return;
    }
    char* end = buildline(*p->dg, *p->opt, *p->tab, fields, nfields,
                          p->row - 1, p->names, b->text + len);
    len = static_cast<std::size_t>(end - b->text);
    b->ends[b->nlines++] = static_cast<std::uint32_t>(len);
  }
}

static void* fillahead(void* arg) {
  auto* p = static_cast<passtwo*>(arg);
  while (aheadnext(&p->worker)) {
    fillblock(p);
    aheaddone(&p->worker);
  }
  return nullptr;
}

// Sets block b to be filled next: by the thread ahead, or at once.
static void askfor(passtwo* p, outblock* b) {
  p->next = b;
  if (p->worker.started)
    aheadask(&p->worker);
  else
    fillblock(p);
}

static bool stopped(const textout* out) { return out->failed || out->gone; }

// Writes one output line as one call of its own.
static void writeline(textout* out, const char* line, std::size_t len) {
  textwrite(out, line, len);
  textendcall(out);
}

// Writes the lines of block b and then its held line, if any; stops once
// out fails or its reader has gone.
static void writeblock(passtwo* p, outblock* b, textout* out) {
  std::size_t from = 0;
  for (int i = 0; i < b->nlines && !stopped(out); ++i) {
    writeline(out, b->text + from, b->ends[i] - from);
    from = b->ends[i];
  }
  if (b->held > 0 && !stopped(out)) {
    static char line[maxoutline];
    char* end = buildline(*p->dg, *p->opt, *p->tab, b->fields, b->held,
                          b->first + b->nlines, p->names, line);
    writeline(out, line, static_cast<std::size_t>(end - line));
  }
}

// Writes the rows after the header, built a block ahead. Returns 0, or -1
// after writing the message when the copy did not give back every line.
static int writerows(passtwo* p, textout* out) {
  int status = 0;
  askfor(p, &p->blocks[0]);
  for (int i = 0;; i ^= 1) {
    if (p->worker.started)
      aheadwait(&p->worker);
    outblock* b = &p->blocks[i];
    bool more = !b->failed && p->row < p->tab->nrows;
    if (more)
      askfor(p, &p->blocks[i ^ 1]);
    writeblock(p, b, out);
    if (b->failed && !stopped(out)) {
      tmpreadfailed(*p->dg);
      status = -1;
    }
    if (!more || stopped(out)) {
      if (more && p->worker.started)
        aheadwait(&p->worker);
      break;
    }
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
  p.firststray = maxfields;
  for (int i = maxfields - 1; i >= 4; --i)
    if (tab.role[i].kind == fieldkind::stray)
      p.firststray = i;
  if (tab.header) {
    // The header stays in its own buffer: the column names point into it.
    static char header[maxpiece + 1];
    static char line[maxoutline];
    std::string_view fields[maxfields];
    int nfields = takeline(copy, header, fields);
    if (nfields < 0) {
      tmpreadfailed(dg);
      return -1;
    }
    char* end = buildline(dg, opt, tab, fields, nfields, -1, p.names, line);
    writeline(out, line, static_cast<std::size_t>(end - line));
  }
  if (tab.nrows <= 0 || stopped(out))
    return 0;
  aheadstart(&p.worker, fillahead, &p);
  return writerows(&p, out);
}
