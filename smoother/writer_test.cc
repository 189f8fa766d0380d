// Printing copied rows: from their fields' text, where it can be, exactly
// as from the values read from those fields.
#include "smoother/writer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "smoother/lines.h"
#include "smoother/randomlayout.h"

namespace {

// A field drawn mostly from the forms a copy prints from its text, and
// from those it cannot: long numbers, exponents, markers, empty fields.
std::string randomfield(std::mt19937_64& gen) {
  static const char* const others[] = {"NA", "", "x", "1e3", "123456789.5",
                                       "-0.000", "05.5", ".5", "7", "-"};
  if (gen() % 4 == 0)
    return others[gen() % 10];
  std::string field = gen() % 3 ? "-" : "";
  for (int d = 1 + static_cast<int>(gen() % 2); d > 0; --d)
    field += static_cast<char>('0' + gen() % 10);
  field += '.';
  for (int d = 1 + static_cast<int>(gen() % 6); d > 0; --d)
    field += static_cast<char>('0' + gen() % 10);
  return field;
}

// Rows of random layouts, options and fields, as short and as long as
// the layout and beyond, are printed from their text where every value
// can be, and otherwise from their values, which the copy reads as it
// prints: both as a writer that does not copy prints the values, whose
// values are found in batches, and as one that walks each line field by
// field prints them, each value on its own.
TEST(Copies, PrintedFromTheirTextAsFromTheirValues) {
  std::mt19937_64 gen(13);
  const int nowhere = open("/dev/null", O_WRONLY);
  auto err = std::make_unique<textout>();
  textoutopen(err.get(), nowhere);
  const diag dg{"test", err.get()};
  long fromtext = 0;
  for (int round = 0; round < 3000; ++round) {
    const layout lay = randomlayout(gen);
    const int ncols = lay.nLR;
    const int nroles = lay.nroles;
    options opt;
    opt.outopt = static_cast<int>(gen() % 3);
    opt.missing = gen() % 2;
    const double stddevs[] = {0.12, -0.3, 1e300, 0.0};
    opt.stddev = stddevs[gen() % 4];
    writer plain, copying, walking;
    ASSERT_TRUE(writerstart(&plain, dg, opt, lay, err.get(), 4096));
    ASSERT_TRUE(writerstart(&copying, dg, opt, lay, err.get(), 4096));
    ASSERT_TRUE(writerstart(&walking, dg, opt, lay, err.get(), 4096));
    copying.copies = true;
    // The values printed in batches, on whatever unit there is, must print
    // what a line walked field by field prints, each value on its own.
    plain.batches = true;
    copying.batches = round % 2;
    walking.plain = walking.batches = false;
    std::string line = "id\t1\t42\tc";
    // Mostly whole rows, now and then short or long ones. A whole row
    // whose every value field is of the form is printed from its text.
    const long nfields = gen() % 4 ? nroles : nroles - 2 + gen() % 5;
    bool printable = nfields == nroles;
    for (long f = 4; f < nfields; ++f) {
      const std::string field = randomfield(gen);
      const std::string padded = field + "\t0000000";
      char room[maxformatted];
      printable = printable && printcopied({padded.data(), field.size()}, room);
      line += '\t' + field;
    }
    // The line with the tab and the eight bytes after it, as the band
    // keeps them, in a block of that size: the next line's bytes, which
    // nothing may take for the line's, even where they look like its
    // fields.
    static const char* const next[] = {"\r\n-1.5\t\x1a", "-1.5\t0.2\t",
                                       "0.25\t1.5\t", "\t\t\t\t\t\t\t\t"};
    const auto text = std::make_unique<char[]>(line.size() + 9);
    std::memcpy(text.get(), line.data(), line.size());
    text[line.size()] = '\t';
    std::memcpy(text.get() + line.size() + 1, next[gen() % 4], 8);
    const std::string_view kept(text.get(), line.size());
    std::vector<double> values(ncols), errors(lay.nerr + 1), LR(ncols),
        dLR(ncols);
    readvalues(lay, opt.missing, kept, values.data(), errors.data());
    for (int k = 0; k < ncols; ++k) {
      LR[k] = values[k];
      dLR[k] = lay.errindex[k] >= 0 ? errors[lay.errindex[k]]
               : std::isnan(LR[k])  ? NAN
                                    : opt.stddev;
    }
    std::vector<char> want(1 << 14), got(1 << 14);
    long wantfields, gotfields;
    char* wantend = printrow(walking, 0, kept, LR.data(), dLR.data(),
                             want.data(), want.data() + want.size(),
                             &wantfields);
    ASSERT_TRUE(wantend);
    const std::string wanted(want.data(), wantend);
    char* plainend = printrow(plain, 0, kept, LR.data(), dLR.data(),
                              got.data(), got.data() + got.size(), &gotfields);
    ASSERT_TRUE(plainend);
    ASSERT_EQ(std::string(got.data(), plainend), wanted) << line;
    ASSERT_EQ(gotfields, wantfields) << line;
    char* const fromtextend = printrow(copying, 0, kept, nullptr, nullptr,
                                       got.data(), got.data() + got.size(),
                                       &gotfields);
    ASSERT_TRUE(fromtextend || !printable) << line;
    if (char* end = fromtextend) {
      ++fromtext;
      ASSERT_EQ(std::string(got.data(), end), wanted) << line;
      ASSERT_EQ(gotfields, wantfields) << line;
    }
    char* end = printrow(copying, 0, kept, LR.data(), dLR.data(),
                               got.data(), got.data() + got.size(),
                               &gotfields);
    ASSERT_TRUE(end);
    ASSERT_EQ(std::string(got.data(), end), wanted) << line;
    ASSERT_EQ(gotfields, wantfields) << line;
    // Into rooms of every size up to the line's: each way of printing
    // gives the line or nothing, and writes nothing past the room's end
    // (a block of the room's own size, which the sanitizers watch).
    for (std::size_t size = 0; round % 8 == 0 && size <= wanted.size();
         ++size) {
      const auto room = std::make_unique<char[]>(size);
      for (int way = 0; way < 3; ++way) {
        const bool values = way != 1;
        char* at = printrow(way == 0 ? plain : copying, 0, kept,
                            values ? LR.data() : nullptr,
                            values ? dLR.data() : nullptr, room.get(),
                            room.get() + size, &gotfields);
        if (at) {
          ASSERT_EQ(std::string(room.get(), at), wanted) << line;
        }
      }
    }
  }
  // The text serves often enough to be tested.
  EXPECT_GT(fromtext, 300);
  close(nowhere);
}

}  // namespace
