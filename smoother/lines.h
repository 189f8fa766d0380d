// Line pieces and field splitting, which both passes read the table with.
#pragma once

#include <cstddef>
#include <string_view>

#include "smoother/table.h"
#include "textio/textio.h"

// Longest line piece. A line of up to 2046 characters fits with its LF; a
// longer one is refused rather than taken as several lines.
constexpr std::size_t maxpiece = 2047;

// Reads the next line piece into piece (room for maxpiece bytes), up to and
// including its LF. Returns its length, 0 at end of input, -1 when a read
// failed.
long readpiece(textin* in, char* piece);

// True when a piece read by readpiece holds more than 2046 characters
// before its line end.
bool toolong(std::string_view piece);

// Splits a line (a piece, with or without its LF: the end of the input ends
// a line as LF does) into fields at its tabs, without their tab or LF.
// Returns how many there are, or -1 when there are more than maxfields.
int splitfields(std::string_view line, std::string_view* fields);
