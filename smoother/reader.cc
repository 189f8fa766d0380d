#include "smoother/reader.h"

#include <cstring>

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

static int nomemory(const diag& dg, long lineno) {
  say(dg, {"Unable to allocate memory for line ", decimal(lineno)});
  return -1;
}

// Gives every field index from 4 on its role, walking the layout as each
// line will be walked: a data field, then its error field if it has one,
// and the next column only once the current one is complete.
static void decideroles(layout* lay) {
  int k = 0;
  const int end = lay->nroles > 4 ? lay->nroles : 4;  // past the layout
  lay->firststray = end;
  for (int i = 4; i < lay->nroles; ++i) {
    fieldrole& role = lay->role[i];
    bool column = k < lay->nLR;
    bool alone = column && lay->dLRcol[k] == 0;
    if (column && i == lay->LRcol[k])
      role = {fieldkind::data, alone, k};
    else if (column && i == lay->dLRcol[k])
      role = {fieldkind::error, true, k};
    else
      role = {fieldkind::stray, alone, k};
    k += role.insert;
    if (role.kind == fieldkind::stray && lay->firststray == end)
      lay->firststray = i;
  }
  for (int c = 0; c < lay->nLR; ++c)
    lay->errindex[c] = lay->dLRcol[c] ? lay->nerr++ : -1;
}

// Decides the role of every field of the header from index 4 on: text is
// the header without its line end, and header the line as read, for the
// message. Returns 0, or -1 after writing its message.
static int readheader(const diag& dg, std::string_view header,
                      std::string_view text, bool strict, layout* lay) {
  const auto nfields = static_cast<std::size_t>(counttabs(text, SIZE_MAX)) + 1;
  lay->nroles = static_cast<int>(nfields);
  if (nfields > INT32_MAX / 2 ||
      !(lay->role = allocate<fieldrole>(nfields, true)) ||
      !(lay->LRcol = allocate<int>(nfields, true)) ||
      !(lay->dLRcol = allocate<int>(nfields, true)) ||
      !(lay->errindex = allocate<int>(nfields, true)))
    return nomemory(dg, 1);
  fieldwalk walk = walkfields(text);
  std::string_view name;
  for (int i = 0; nextfield(&walk, &name); ++i) {
    if (i < 4)
      continue;
    if (iserrorname(name)) {
      // A second error column takes the place of the first.
      if (lay->nLR > 0) {
        lay->dLRcol[lay->nLR - 1] = i;
        continue;
      }
      // With no data column to belong to, it is read as a data column.
      say(dg, {"Error parsing header ", header});
      if (strict)
        return -1;
    }
    lay->LRcol[lay->nLR++] = i;
  }
  decideroles(lay);
  return 0;
}

// Adds the row of a data line of size bytes from input line lineno: its
// position, and its line in its block's count. False when the memory
// cannot be had.
static bool addrow(table* tab, std::int32_t position, std::size_t size,
                   long lineno) {
  const long r = tab->nrows;
  const long b = r / blockrows;
  const auto rows = static_cast<std::size_t>(r);
  const std::size_t blocksused = (rows + blockrows - 1) / blockrows;
  if (!growto(&tab->pos, &tab->poscap, rows + 1, rows) ||
      !growto(&tab->blocks, &tab->blockcap, rows / blockrows + 1, blocksused))
    return false;
  tab->pos[r] = position;
  if (r % blockrows == 0)
    tab->blocks[b] = {0, lineno, tab->copybytes};
  tab->blocks[b].bytes += size;
  ++tab->nrows;
  return true;
}

namespace {

// Pass 1 under way: what it keeps from one line to the next.
struct pass1 {
  const diag& dg;
  const options& opt;
  input* in;
  textin* text;
  textout* copy;
  table* tab;
  outwatch* watch;
  linebuf line;
  linebuf header;     // the header, to name the fields of a message
  linebuf lastseries;  // the previous row's field 1, with -series
  std::int32_t lastpos = 0;
};

}  // namespace

// Field i of the line text, or an empty field past its end.
static std::string_view fieldat(std::string_view text, long i) {
  fieldwalk walk = walkfields(text);
  std::string_view field;
  for (long f = 0; nextfield(&walk, &field); ++f)
    if (f == i)
      return field;
  return {};
}

// The strict checks of a data line, as pass 1 walks it: a NUL byte, then
// its fields left to right (the position, each value, a field the layout
// does not expect), then a line shorter than the header. Returns 0, or -1
// after writing the message of the first problem.
static int strictline(pass1* p, std::string_view text, long n) {
  const layout& lay = p->tab->lay;
  const decimal lineno(n + 2);
  if (std::memchr(text.data(), 0, text.size())) {
    say(p->dg, {"Input line ", lineno, " holds a NUL byte"});
    return -1;
  }
  fieldwalk walk = walkfields(text);
  std::string_view field;
  long i = 0;
  for (; i < 4 && nextfield(&walk, &field); ++i)
    if (i == 2 && !isposition(field)) {
      say(p->dg, {"Input line ", lineno, ": position '", field,
                  "' is not a whole number"});
      return -1;
    }
  // The values: most are plainly numbers, taken many at a time; any other
  // field has the full grammar's look, and a field the layout does not
  // expect is a counting error.
  std::size_t at = walk.ended ? text.size() + 1 : walk.from;
  while (i >= 4 && at <= text.size()) {
    std::size_t next;
    i += plainfields(text.substr(at), lay.firststray - i, &next);
    at += next;
    if (at > text.size())
      break;
    const fieldrole role = roleof(lay, i);
    if (role.kind == fieldkind::stray) {
      say(p->dg, {"Counting error line ", decimal(n), " array ",
                  decimal(role.col)});
      return -1;
    }
    const auto* tab = static_cast<const char*>(
        std::memchr(text.data() + at, '\t', text.size() - at));
    field = {text.data() + at,
             static_cast<std::size_t>(tab ? tab - text.data() - at
                                          : text.size() - at)};
    if (!isnumber(field) && !(p->opt.missing == 1 && ismissingword(field))) {
      say(p->dg, {"Input line ", lineno, ": '", field, "' in column '",
                  fieldat(linetext(p->header), i), "' is not a number"});
      return -1;
    }
    ++i;
    at += field.size() + 1;
  }
  if (i < lay.nroles) {
    say(p->dg, {"Input line ", lineno, " has ", decimal(i),
                " fields, the header ", decimal(lay.nroles)});
    return -1;
  }
  return 0;
}

// With -series, whether a data line of text starts a new series: its
// field 1 (empty where it has none) differs from the previous row's. The
// first row starts one. Returns 0, or -1 when the memory cannot be had.
static int seriesof(pass1* p, std::string_view text, bool* starts) {
  fieldwalk walk = walkfields(text);
  std::string_view field;
  nextfield(&walk, &field);
  if (!nextfield(&walk, &field))
    field = {};
  const std::string_view last(p->lastseries.text.get(), p->lastseries.size);
  *starts = p->tab->nrows == 0 || field != last;
  if (!*starts)
    return 0;
  const auto s = static_cast<std::size_t>(p->tab->nstarts);
  if (!linereserve(&p->lastseries, field.size()) ||
      !growto(&p->tab->starts, &p->tab->startcap, s + 1, s))
    return -1;
  if (!field.empty())
    std::memcpy(p->lastseries.text.get(), field.data(), field.size());
  p->lastseries.size = field.size();
  p->tab->starts[p->tab->nstarts++] = p->tab->nrows;
  return 0;
}

// Takes a data line: checks it with -strict, finds its series with
// -series, and adds its row. Returns 0, or -1 after writing a message.
static int dataline(pass1* p, std::string_view text, long n) {
  table* tab = p->tab;
  const layout& lay = tab->lay;
  if (p->opt.strict == 1) {
    if (strictline(p, text, n) < 0)
      return -1;
  } else {
    const auto stray = static_cast<std::size_t>(lay.firststray);
    if (counttabs(text, stray) == stray)
      say(p->dg, {"Counting error line ", decimal(n), " array ",
                  decimal(roleof(lay, lay.firststray).col)});
  }
  fieldwalk walk = walkfields(text);
  std::string_view field;
  std::int32_t position = 0;
  for (int i = 0; i < 3 && nextfield(&walk, &field); ++i)
    position = i == 2 ? readint(field) : 0;
  bool starts = false;
  if (p->opt.series == 1 && seriesof(p, text, &starts) < 0)
    return nomemory(p->dg, n + 2);
  if (p->opt.strict == 1 && p->opt.series == 1 && !starts &&
      position < p->lastpos) {
    say(p->dg, {"Input line ", decimal(n + 2), ": position ",
                decimal(position), " is lower than the row before it"});
    return -1;
  }
  p->lastpos = position;
  if (!addrow(tab, position, text.size() + 1, n + 2))
    return nomemory(p->dg, n + 2);
  return 0;
}

// Takes the header: line as read, and its text. Returns 0, or -1 after
// writing a message.
static int headerline(pass1* p, std::string_view line, std::string_view text) {
  if (p->opt.strict == 1) {
    if (std::memchr(text.data(), 0, text.size())) {
      say(p->dg, {"Input line 1 holds a NUL byte"});
      return -1;
    }
    if (!linereserve(&p->header, line.size()))
      return nomemory(p->dg, 1);
    std::memcpy(p->header.text.get(), line.data(), line.size());
    p->header.size = line.size();
  }
  p->tab->header = true;
  if (readheader(p->dg, line, text, p->opt.strict == 1, &p->tab->lay) < 0)
    return -1;
  if (p->opt.strict == 1 && p->tab->lay.nLR == 0) {
    say(p->dg, {"Input line 1 has no data columns"});
    return -1;
  }
  return 0;
}

// Whether the input ended because reading it failed; if so, the message
// is written.
static bool readfailed(pass1* p) {
  if (!inputfailed(p->in))
    return false;
  inputreadfailed(p->dg, *p->in);
  return true;
}

// The end of the input: whole, or cut short by a failure. Returns 0, or
// -1 after writing a message.
static int inputend(pass1* p) {
  if (p->text->watchgone)
    p->watch->gone.store(true);
  if (readfailed(p))
    return -1;
  if (p->opt.strict == 1 && !p->tab->header) {
    say(p->dg, {"Input line 1 has no data columns"});
    return -1;
  }
  return 0;
}

int readtable(const diag& dg, const options& opt, input* in, textout* copy,
              table* tab, outwatch* watch) {
  textin* text = inputstart(dg, in, watch);
  if (!text)
    return -1;
  pass1 p{dg, opt, in, text, copy, tab, watch, {}, {}, {}};
  // Every input line counts, skipped ones too: n after the header.
  for (long n = -1;; ++n) {
    if ((n & 63) == 0 && outgone(watch))
      return 0;
    std::string_view line;
    switch (readline(text, &p.line, SIZE_MAX, &line)) {
      case lineread::end:
        return inputend(&p);
      case lineread::failed:
        inputreadfailed(dg, *in);
        return -1;
      case lineread::toolong:
        return nomemory(dg, n + 2);
      case lineread::line:
        break;
    }
    // A line that a failure cut short is not kept.
    if (line.back() != '\n' && readfailed(&p))
      return -1;
    const std::string_view fields = linetext(line);
    if ((n & 1023) == 0 && dg.shown)
      progressat(dg.shown, 1, tab->nrows, 0, inputbytes(*in));
    if (n < 0) {
      if (headerline(&p, line, fields) < 0)
        return -1;
    } else if (isblankbyte(static_cast<unsigned char>(line[0]))) {
      continue;
    } else if (dataline(&p, fields, n) < 0) {
      return -1;
    }
    if (line.size() > tab->longest) {
      tab->longest = line.size();
      tab->longestline = n + 2;
    }
    textwriteline(copy, line.data(), line.size());
    // The copy writes each line end as CR LF.
    tab->copybytes += line.size() + (line.back() == '\n');
    if (n < 0)
      tab->headerbytes = tab->copybytes;
  }
}
