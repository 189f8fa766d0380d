// Line pieces, field splitting and pass 1: reading the table.
#pragma once

#include <cstddef>
#include <string_view>

#include "smoother/messages.h"
#include "smoother/table.h"
#include "textio/textio.h"

// Longest line piece: a longer line is taken as several lines.
constexpr std::size_t maxpiece = 2047;

// Reads the next line piece into piece (room for maxpiece bytes), up to and
// including its LF. Returns its length, 0 at end of input, -1 when a read
// failed.
long readpiece(textin* in, char* piece);

// Splits piece into its fields 0 to maxfields - 1 (without their tab or
// LF) and returns how many there are. Text after the last tab of a piece
// that has no LF is not a field.
int splitfields(std::string_view piece, std::string_view* fields);

// True when a header field names an error column.
bool iserrorname(std::string_view name);

// Pass 1: reads the table from in into tab and copies the header and every
// accepted line to tmp, which it closes. Returns 0, or -1 after writing its
// message.
int readtable(const diag& dg, textin* in, textout* tmp, table* tab);
