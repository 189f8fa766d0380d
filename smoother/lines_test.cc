// Field splitting and line reading against plain byte-by-byte references.
#include "smoother/lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "smoother/numbers.h"
#include "smoother/randomlayout.h"

namespace {

// A line of fewer than `below` bytes, each drawn from pick.
std::string randomline(std::mt19937_64& gen, unsigned below,
                       std::string_view pick) {
  std::string line(gen() % below, 'x');
  for (char& c : line)
    c = pick[gen() % pick.size()];
  return line;
}

std::vector<std::string> splitbytes(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '\t')
      fields.emplace_back();
    else
      fields.back().push_back(c);
  }
  return fields;
}

// Tabs at every place of the words the splitter loads (16 bytes with
// SSE2, 8 everywhere), and in the bytes after the last whole word: a
// splitter that reads its words in the wrong byte order (on a big-endian
// machine) finds them elsewhere. Both widths split alike, and the tabs
// found first all at once are the fields' ends.
TEST(Fields, TabsAtEveryPlaceOfAWord) {
  std::mt19937_64 gen(7);
  const std::string_view pick = "\tab\x80\xff\x09\x01 ";
  for (int round = 0; round < 20000; ++round) {
    const std::string line = randomline(gen, 70, pick);
    const auto want = splitbytes(line);
    for (auto next : {nextfield, nextfieldportable}) {
      fieldwalk walk = walkfields(line);
      std::vector<std::string> got;
      for (std::string_view field; next(&walk, &field);)
        got.emplace_back(field);
      ASSERT_EQ(got, want) << line;
    }
    for (std::size_t atmost : {std::size_t{0}, std::size_t{3}, SIZE_MAX}) {
      ASSERT_EQ(counttabs(line, atmost), std::min(atmost, want.size() - 1));
      ASSERT_EQ(counttabsportable(line, atmost),
                std::min(atmost, want.size() - 1));
    }
    // Each field's end, and the tab after the line, in a block that ends
    // eight bytes of anything later, tabs among them.
    const std::string kept =
        line + '\t' + randomline(gen, 9, pick) + "xxxxxxxx";
    const auto block = std::make_unique<char[]>(line.size() + 9);
    std::memcpy(block.get(), kept.data(), line.size() + 9);
    std::vector<std::uint32_t> ends;
    for (const std::string& field : want)
      ends.push_back(static_cast<std::uint32_t>(
          (ends.empty() ? 0 : ends.back() + 1) + field.size()));
    for (long most : {0L, 2L, 1000L}) {
      std::vector<std::uint32_t> tabs(most + 1 + widestword);
      const long found =
          findtabs({block.get(), line.size()}, tabs.data(), most);
      const auto whole = static_cast<long>(ends.size());
      ASSERT_TRUE(found == whole || (found > most && whole > most)) << line;
      for (long i = 0; i < std::min(found, whole); ++i)
        ASSERT_EQ(tabs[i], ends[i]) << line;
    }
  }
  // Lines of tabs long enough that counting them bytewise would overflow.
  for (std::size_t n : {4079u, 4080u, 4096u, 9000u}) {
    const std::string tabs(n, '\t');
    ASSERT_EQ(counttabs(tabs, SIZE_MAX), n);
    ASSERT_EQ(counttabs(tabs, n - 1), n - 1);
    ASSERT_EQ(counttabs(tabs + "x", SIZE_MAX), n);
  }
}

// Up to 60 plain numbers between tabs, one byte of which may then be
// drawn from pick instead.
std::string plainline(std::mt19937_64& gen, std::string_view pick) {
  std::string line;
  for (int f = 1 + static_cast<int>(gen() % 60); f > 0; --f) {
    std::string field = randomline(gen, 6, "0123456789");
    field += '0';
    if (gen() % 2)
      field.insert(field.begin() + static_cast<long>(gen() % field.size()),
                   '.');
    if (gen() % 3 == 0)
      line += '-';
    line += field;
    if (f > 1)
      line += '\t';
  }
  if (gen() % 2)
    line[gen() % line.size()] = pick[gen() % pick.size()];
  return line;
}

// Strict reading's look at many fields at once takes just the fields
// that are plainly numbers (an optional minus, digits, at most one point),
// up to the first other one, as one byte at a time does and as the
// grammar says: fields of every length, across its words of 16 and 64
// bytes, in lines of anything and in lines of plain numbers.
TEST(Fields, PlainNumbersManyAtATime) {
  std::mt19937_64 gen(9);
  const std::string_view pick = "0123456789012345678.-\t\tx";
  for (int round = 0; round < 100000; ++round) {
    const bool plain = round % 2;
    const std::string line =
        plain ? plainline(gen, pick) : randomline(gen, 90, pick);
    long want = 0;
    for (const std::string& field : splitbytes(line)) {
      const auto digits = std::count_if(field.begin(), field.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
      const auto points = std::count(field.begin(), field.end(), '.');
      const auto minus = field.find('-', 1) == std::string::npos;
      if (digits == 0 || points > 1 || !minus ||
          digits + points + (field[0] == '-') != std::ssize(field))
        break;
      ++want;
    }
    const long most = static_cast<long>(gen() % (plain ? 80 : 8));
    std::size_t next, nextportable;
    ASSERT_EQ(plainfields(line, most, &next), std::min(want, most)) << line;
    ASSERT_EQ(plainfieldsportable(line, most, &nextportable),
              std::min(want, most)) << line;
    ASSERT_EQ(next, nextportable) << line;
  }
}

// A data line's values are each field read on its own by the grammar,
// whether a field is read a word at a time or not: layouts of data
// columns with and without error columns, lines shorter and longer than
// the layout, of short and long numbers, marked and empty values, with
// and without the missing option.
TEST(Values, EachFieldAsTheGrammarReadsIt) {
  std::mt19937_64 gen(11);
  const std::string_view words[] = {"NA", "", "x", "1e3", "-", ".", "1.5.",
                                    "123456789.5", " 7", "-0.00001"};
  for (int round = 0; round < 20000; ++round) {
    const layout lay = randomlayout(gen);
    const int ncols = lay.nLR;
    const int i = lay.nroles;
    std::vector<std::string> fields = {"id", "1", "42", "c"};
    for (long f = 4 + static_cast<long>(gen() % (i + 2)) - 2; f > 0; --f) {
      std::string field = gen() % 4 ? plainline(gen, "7").substr(0, 9)
                                    : std::string(words[gen() % 10]);
      fields.push_back(field.substr(0, field.find('\t')));
    }
    std::string line = fields[0];
    for (std::size_t f = 1; f < fields.size(); ++f)
      line += '\t' + fields[f];
    const bool missing = gen() % 2;
    // The slots hold the last row's: what a line does not give is set anew.
    std::vector<double> values(ncols, 99.0), errors(lay.nerr + 1, 99.0);
    std::vector<double> want(ncols, missing ? NAN : 0.0);
    std::vector<double> wanterrors(lay.nerr + 1, 0.0);
    for (int f = 4; f < std::min<int>(i, std::ssize(fields)); ++f) {
      const fieldrole role = lay.role[f];
      const double value = readnumberplain(fields[f]);
      if (role.kind == fieldkind::error)
        wanterrors[lay.errindex[role.col]] = value;
      else if (!missing || hasdigits(fields[f]))
        want[role.col] = value;
    }
    for (int k = 0; k < ncols; ++k)
      if (lay.errindex[k] >= 0 && std::isnan(want[k]))
        wanterrors[lay.errindex[k]] = NAN;
    // Held in a block of its own size and the nine bytes the band keeps
    // after it, its tab and a next line's, so that the sanitizers see a
    // read past them.
    const auto exact = std::make_unique<char[]>(line.size() + 9);
    std::memcpy(exact.get(), line.data(), line.size());
    std::memcpy(exact.get() + line.size(), "\t1234\t5.5", 9);
    readvalues(lay, missing, {exact.get(), line.size()}, values.data(),
               errors.data());
    for (int k = 0; k < ncols; ++k)
      ASSERT_EQ(std::memcmp(&values[k], &want[k], sizeof want[k]), 0) << line;
    for (int e = 0; e < lay.nerr; ++e)
      ASSERT_TRUE(std::memcmp(&errors[e], &wanterrors[e], 8) == 0 ||
                  (std::isnan(errors[e]) && std::isnan(wanterrors[e])))
          << line;
  }
}

}  // namespace
