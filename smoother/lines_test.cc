// Field splitting and line reading against plain byte-by-byte references.
#include "smoother/lines.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

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

// Tabs at every place of the eight-byte words the splitter loads, and in
// the bytes after the last whole word: a splitter that reads its words in
// the wrong byte order (on a big-endian machine) finds them elsewhere.
TEST(Fields, TabsAtEveryPlaceOfAWord) {
  std::mt19937_64 gen(7);
  const char pick[] = "\tab\x80\xff\x09\x01 ";
  for (int round = 0; round < 20000; ++round) {
    std::string line(gen() % 40, 'x');
    for (char& c : line)
      c = pick[gen() % (sizeof pick - 1)];
    fieldwalk walk = walkfields(line);
    std::vector<std::string> got;
    for (std::string_view field; nextfield(&walk, &field);)
      got.emplace_back(field);
    const auto want = splitbytes(line);
    ASSERT_EQ(got, want) << line;
    for (std::size_t atmost : {std::size_t{0}, std::size_t{3}, SIZE_MAX})
      ASSERT_EQ(counttabs(line, atmost), std::min(atmost, want.size() - 1));
  }
}

// Lines are read whole through the text stream, as long as they come,
// into a buffer that grows or into a room of a given size.
TEST(Lines, ReadWholeThroughBlocks) {
  char path[] = "/tmp/lines_test.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  const std::string text = "a\tb\r\n" + std::string(9000, 'y') + "\nlast";
  ASSERT_EQ(write(fd, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  for (bool into : {false, true}) {
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    textin in;
    textinopen(&in, fd);
    std::vector<std::string> got;
    linebuf line;
    std::string room(9001, '\0');
    for (;;) {
      if (into) {
        const long size = readlineto(&in, room.data(), room.size());
        ASSERT_GE(size, 0);
        if (size == 0)
          break;
        got.emplace_back(room.data(), size);
      } else {
        const lineread r = readline(&in, &line, SIZE_MAX);
        if (r == lineread::end)
          break;
        ASSERT_EQ(r, lineread::line);
        got.emplace_back(line.text.get(), line.size);
      }
    }
    EXPECT_EQ(got, (std::vector<std::string>{
                       "a\tb\n", std::string(9000, 'y') + "\n", "last"}));
  }
  // One byte short of the longest line: the line does not fit.
  ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
  textin in;
  textinopen(&in, fd);
  std::string room(9000, '\0');
  EXPECT_EQ(readlineto(&in, room.data(), room.size()), -1);
  linebuf line;
  ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
  textinopen(&in, fd);
  EXPECT_EQ(readline(&in, &line, 9000), lineread::toolong);
  close(fd);
}

// A data line's values against the layout: a short line leaves its last
// value 0, or missing, and with it the error of a missing value.
TEST(Values, ShortLinesAndMissingValues) {
  layout lay;
  lay.nLR = 2;
  lay.nerr = 1;
  lay.nroles = 7;
  lay.firststray = 7;
  lay.role = allocate<fieldrole>(7);
  lay.role[4] = {fieldkind::data, false, 0};
  lay.role[5] = {fieldkind::error, true, 0};
  lay.role[6] = {fieldkind::data, true, 1};
  lay.errindex = allocate<int>(2);
  lay.errindex[0] = 0;
  lay.errindex[1] = -1;
  double values[2];
  double errors[1];
  readvalues(lay, false, "a\tb\t1\tx\t2.5\t0.25", values, errors);
  EXPECT_EQ(values[0], 2.5);
  EXPECT_EQ(errors[0], 0.25);
  EXPECT_EQ(values[1], 0.0);
  readvalues(lay, true, "a\tb\t1\tx\tNA\t0.25", values, errors);
  EXPECT_TRUE(values[0] != values[0] && errors[0] != errors[0]);
  EXPECT_TRUE(values[1] != values[1]);
  // The previous row's error must not stay in a short line's slot.
  readvalues(lay, false, "a\tb\t1\tx\t3", values, errors);
  EXPECT_EQ(errors[0], 0.0);
}

}  // namespace
