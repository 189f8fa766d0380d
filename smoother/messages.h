// The one-line messages quorvel writes to standard error.
#pragma once

#include <initializer_list>
#include <string_view>

#include "smoother/progress.h"
#include "textio/textio.h"

// Where messages go and the name they begin with; a progress line on the
// way is erased first.
struct diag {
  std::string_view progname;
  textout* err;
  progress* shown = nullptr;
};

// Writes one message: the program name, ": ", the parts and a line end.
void say(const diag& dg, std::initializer_list<std::string_view> parts);

// A decimal rendering of an integer, to pass as one of say's parts.
struct decimal {
  explicit decimal(long long value);
  operator std::string_view() const { return {text, len}; }
  char text[21];
  std::size_t len;
};
