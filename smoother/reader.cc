#include "smoother/reader.h"

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
                      std::string_view text, layout* lay) {
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
    tab->blocks[b] = {0, lineno};
  tab->blocks[b].bytes += size;
  ++tab->nrows;
  return true;
}

int readtable(const diag& dg, textin* in, textout* copy, table* tab) {
  linebuf line;
  // Every input line counts, skipped ones too: n after the header.
  for (long n = -1;; ++n) {
    switch (readline(in, &line, SIZE_MAX)) {
      case lineread::end:
        return 0;
      case lineread::failed:
        say(dg, {"Error reading standard input"});
        return -1;
      case lineread::toolong:
        return nomemory(dg, n + 2);
      case lineread::line:
        break;
    }
    std::string_view text = linetext(line);
    if ((n & 1023) == 0 && dg.shown)
      progressat(dg.shown, 1, tab->nrows, 0, in->bytesread);
    if (n < 0) {
      tab->header = true;
      if (readheader(dg, {line.text.get(), line.size}, text, &tab->lay) < 0)
        return -1;
    } else if (isblankbyte(static_cast<unsigned char>(line.text[0]))) {
      continue;
    } else {
      const layout& lay = tab->lay;
      const auto stray = static_cast<std::size_t>(lay.firststray);
      if (counttabs(text, stray) == stray)
        say(dg, {"Counting error line ", decimal(n), " array ",
                 decimal(roleof(lay, lay.firststray).col)});
      fieldwalk walk = walkfields(text);
      std::string_view field;
      std::int32_t position = 0;
      for (int i = 0; i < 3 && nextfield(&walk, &field); ++i)
        position = i == 2 ? readint(field) : 0;
      if (!addrow(tab, position, text.size() + 1, n + 2))
        return nomemory(dg, n + 2);
    }
    if (line.size > tab->longest) {
      tab->longest = line.size;
      tab->longestline = n + 2;
    }
    textwrite(copy, line.text.get(), line.size);
  }
}
