// Plain restatements of the text stream and line piece rules, written for
// clarity rather than speed, that the fuzz targets hold the real code to.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Where a failed property is told: standard error, unless a target that
// lends its standard streams to the code under test sets another.
inline int fuzzreportfd = 2;

// Stops the fuzzer with a finding, after saying which property failed.
#define FUZZCHECK(cond)                                                   \
  do {                                                                    \
    if (!(cond)) {                                                        \
      dprintf(fuzzreportfd, "%s:%d: property failed: %s\n", __FILE__,     \
              __LINE__, #cond);                                           \
      std::abort();                                                       \
    }                                                                     \
  } while (0)

// The white space that number reading skips and that marks a line to skip.
inline bool isspace6(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// What reading raw from a file or a pipe delivers: everything before the
// first Ctrl-Z, each CR LF as LF.
inline std::string translated(std::string_view raw) {
  std::size_t stop = raw.find('\x1a');
  if (stop != std::string_view::npos)
    raw = raw.substr(0, stop);
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i)
    if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n'))
      text.push_back(raw[i]);
  return text;
}

// What writing text puts out: each LF as CR LF.
inline std::string crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// Cuts text into line pieces: up to and including each LF, and at most
// 2047 bytes each.
inline std::vector<std::string_view> pieces(std::string_view text) {
  std::vector<std::string_view> all;
  while (!text.empty()) {
    std::size_t len = text.find('\n');
    len = len == std::string_view::npos ? text.size() : len + 1;
    if (len > 2047)
      len = 2047;
    all.push_back(text.substr(0, len));
    text.remove_prefix(len);
  }
  return all;
}

// The fields of a piece, as many as there are (not only the first 132):
// each tab ends one, and so does a final LF; the text after the last tab
// of a piece without LF is none.
inline std::vector<std::string_view> allfields(std::string_view piece) {
  std::vector<std::string_view> all;
  bool lineend = !piece.empty() && piece.back() == '\n';
  if (lineend)
    piece.remove_suffix(1);
  for (;;) {
    std::size_t tab = piece.find('\t');
    if (tab == std::string_view::npos) {
      if (lineend)
        all.push_back(piece);
      return all;
    }
    all.push_back(piece.substr(0, tab));
    piece.remove_prefix(tab + 1);
  }
}
