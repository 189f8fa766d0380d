#include "smoother/messages.h"

#include <charconv>

void say(const diag& dg, std::initializer_list<std::string_view> parts) {
  if (dg.shown)
    progresserase(dg.shown);
  textwrite(dg.err, dg.progname.data(), dg.progname.size());
  textwrite(dg.err, ": ", 2);
  for (std::string_view part : parts)
    textwrite(dg.err, part.data(), part.size());
  textwrite(dg.err, "\n", 1);
  textendcall(dg.err);
}

decimal::decimal(long long value) {
  auto r = std::to_chars(text, text + sizeof text, value);
  len = static_cast<std::size_t>(r.ptr - text);
}
