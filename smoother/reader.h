// Pass 1: reading the table into the table store.
#pragma once

#include <string_view>

#include "smoother/messages.h"
#include "smoother/table.h"
#include "textio/textio.h"

// True when a header field names an error column.
bool iserrorname(std::string_view name);

// Reads the table from in into tab, deciding the column roles from the
// header, and copies the header and every accepted line to copy. With
// opt.missing, a data value without digits, or beyond the end of its line,
// is stored as missing. Returns 0, or -1 after writing its message.
int readtable(const diag& dg, const options& opt, textin* in, textout* copy,
              table* tab);
