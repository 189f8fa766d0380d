// Pass 1: checking the table, copying it to the intermediate file, and
// keeping its positions.
#pragma once

#include <string_view>

#include "smoother/input.h"
#include "smoother/messages.h"
#include "smoother/options.h"
#include "smoother/outwatch.h"
#include "smoother/table.h"
#include "textio/textio.h"

// True when a header field names an error column.
bool iserrorname(std::string_view name);

// Reads the table from in: decides the column layout from the header,
// reports each data line that does not fit it (with opt.strict, the first
// of them stops the run), keeps every row's position, its series with
// opt.series, and the facts of each block of rows in tab, and copies the
// header and every accepted line to copy. Stops early, as if the input
// ended there, once watch finds the output's reader gone. Returns 0, or
// -1 after writing its message.
int readtable(const diag& dg, const options& opt, input* in, textout* copy,
              table* tab, outwatch* watch);
