// What the copy filter's black-box tests cannot reach: a CR LF split by the
// reader's own 4096-byte blocks, and failed writes, which only the
// intermediate file's owner looks at.
#include "textio/textio.h"

#include <csignal>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

// A descriptor reading bytes from a file that has no name.
static int filewith(std::string_view bytes) {
  char name[] = "/tmp/textiotestXXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  unlink(name);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
  return fd;
}

// Takes what one textfill makes available, appending it to *got.
static long fill(textin* in, std::string* got) {
  long n = textfill(in);
  if (n > 0) {
    got->append(reinterpret_cast<const char*>(in->buf + in->start),
                in->end - in->start);
    in->start = in->end;
  }
  return n;
}

// Everything from fd to its end, which must not be a failure.
static std::string readall(int fd) {
  textin in;
  textinopen(&in, fd);
  std::string got;
  long last;
  while ((last = fill(&in, &got)) > 0) {
  }
  EXPECT_EQ(last, 0);
  close(fd);
  return got;
}

TEST(TextioRead, CrAtBlockEdge) {
  const std::string lead(blocksize - 1, 'a');
  // The first block ends in the CR: it is held back, not delivered.
  textin in;
  textinopen(&in, filewith(lead + "\r\nb"));
  std::string got;
  EXPECT_EQ(fill(&in, &got), static_cast<long>(blocksize - 1));
  close(in.fd);
  EXPECT_EQ(readall(filewith(lead + "\r\nb")), lead + "\nb");
  EXPECT_EQ(readall(filewith(lead + "\rb")), lead + "\rb");
  // The held CR is the very last byte of the data.
  EXPECT_EQ(readall(filewith(lead + "\r")), lead + "\r");
}

TEST(TextioWrite, CloseReportsFailedWrite) {
  auto oldpipe = std::signal(SIGPIPE, SIG_IGN);
  int fd[2];
  ASSERT_EQ(pipe(fd), 0);
  close(fd[0]);
  textout out;
  textoutopen(&out, fd[1]);
  textwrite(&out, "x\n", 2);
  EXPECT_EQ(textclose(&out), -1);
  std::signal(SIGPIPE, oldpipe);

  textoutopen(&out, open("/dev/full", O_WRONLY));
  ASSERT_GE(out.fd, 0);
  textwrite(&out, "x", 1);
  EXPECT_EQ(textclose(&out), -1);
}
