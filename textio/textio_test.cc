// Text streams through real descriptors: pipes whose writer stops in the
// middle of a CR LF, Ctrl-Z in files and pipes, and writes that fail.
#include "textio/textio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

namespace {

// Everything that in delivers, up to its end.
std::string readall(textin* in, bool* failed = nullptr) {
  std::string got;
  long avail;
  while ((avail = textfill(in)) > 0) {
    got.append(reinterpret_cast<const char*>(in->buf + in->start),
               static_cast<std::size_t>(avail));
    in->start = in->end;
  }
  if (failed)
    *failed = avail < 0;
  return got;
}

struct pipefds {
  int fds[2];
  pipefds() { EXPECT_EQ(pipe(fds), 0); }
  ~pipefds() {
    close(fds[0]);
    if (fds[1] >= 0)
      close(fds[1]);
  }
  void put(const std::string& bytes) {
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  void close1() {
    close(fds[1]);
    fds[1] = -1;
  }
};

// A CR at the end of one read waits for the next: an LF there makes the
// pair one LF, anything else (or the end) leaves the CR as it was.
TEST(TextRead, CrLfSplitAcrossReads) {
  for (const auto& [rest, want] :
       {std::pair<std::string, std::string>{"\ny", "x\ny"}, {"y", "x\ry"},
        {"", "x\r"}, {"\r\n", "x\r\n"}}) {
    pipefds p;
    textin in;
    textinopen(&in, p.fds[0]);
    p.put("x\r");
    std::string got;
    ASSERT_EQ(textfill(&in), 1);  // the x; the CR is held back
    got.push_back(static_cast<char>(in.buf[in.start]));
    in.start = in.end;
    p.put(rest);
    p.close1();
    EXPECT_EQ(got + readall(&in), want) << "rest " << rest.size();
  }
}

// Ctrl-Z ends the data: nothing from it on is delivered, and no further
// read is made, also when it comes in a later block.
TEST(TextRead, CtrlZEndsTheInput) {
  pipefds p;
  p.put(std::string(5000, 'a') + "b\x1a" + "c\n");
  textin in;
  textinopen(&in, p.fds[0]);
  EXPECT_EQ(readall(&in), std::string(5000, 'a') + "b");
  p.put("more");
  p.close1();
  EXPECT_EQ(textfill(&in), 0);
  char left[16];
  EXPECT_EQ(read(p.fds[0], left, sizeof left), 4);  // "more" never read
}

// Each LF goes out as CR LF, or as it is without crlf; the block goes out
// when 4096 bytes, counted before the CRs, are collected.
TEST(TextWrite, LineEndsAndBlocks) {
  for (bool crlf : {true, false}) {
    pipefds p;
    textout out;
    textoutopen(&out, p.fds[1]);
    out.crlf = crlf;
    textwrite(&out, std::string(4095, '\n').data(), 4095);
    char got[9000];
    ASSERT_EQ(fcntl(p.fds[0], F_SETFL, O_NONBLOCK), 0);
    EXPECT_EQ(read(p.fds[0], got, sizeof got), -1);  // not yet a block
    textwrite(&out, "\nab", 3);
    EXPECT_EQ(read(p.fds[0], got, sizeof got), crlf ? 8192 : 4096);
    EXPECT_EQ(std::string(got, 2), crlf ? "\r\n" : "\n\n");
    textflush(&out);
    EXPECT_EQ(read(p.fds[0], got, sizeof got), 2);
    EXPECT_FALSE(out.failed || out.gone);
  }
}

// A line whose one LF ends it goes out as textwrite puts it, whether its
// LF falls in the block it starts in or beyond it.
TEST(TextWrite, LinesAsTextWritePutsThem) {
  for (bool crlf : {true, false}) {
    std::string written[2];
    for (int lines = 0; lines < 2; ++lines) {
      FILE* file = std::tmpfile();
      ASSERT_TRUE(file);
      textout out;
      textoutopen(&out, fileno(file));
      out.crlf = crlf;
      unsigned char room[2 * 7];
      textoutblock(&out, room, 7);
      for (std::size_t n = 0; n < 40; ++n) {
        std::string line(n, static_cast<char>('a' + n % 26));
        if (n % 5 != 4)
          line += '\n';
        (lines ? textwriteline : textwrite)(&out, line.data(), line.size());
      }
      textflush(&out);
      std::rewind(file);
      char got[4096];
      written[lines].assign(got, std::fread(got, 1, sizeof got, file));
      std::fclose(file);
    }
    EXPECT_EQ(written[1], written[0]);
    EXPECT_EQ(written[0].size(), 812u + (crlf ? 32 : 0));  // 32 LFs
  }
}

// A reader that has gone is told apart from a write that fails, and
// after either nothing more is written.
TEST(TextWrite, GoneAndFailed) {
  std::signal(SIGPIPE, SIG_IGN);
  pipefds p;
  close(p.fds[0]);
  p.fds[0] = open("/dev/null", O_RDONLY);
  textout out;
  textoutopen(&out, p.fds[1]);
  textwrite(&out, "x\n", 2);
  textflush(&out);
  EXPECT_TRUE(out.gone);
  EXPECT_FALSE(out.failed);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  textoutopen(&out, full);
  textwrite(&out, std::string(5000, 'z').data(), 5000);
  EXPECT_TRUE(out.failed);
  EXPECT_FALSE(out.gone);
  EXPECT_EQ(out.len, 0u);
  close(full);
}

}  // namespace
