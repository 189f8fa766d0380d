#include "textio/textio.h"

#include <csignal>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Closes whatever descriptors a test still holds when it ends.
struct fds {
  int fd[2] = {-1, -1};
  fds() = default;
  fds(const fds&) = delete;
  fds& operator=(const fds&) = delete;
  ~fds() {
    drop(0);
    drop(1);
  }
  void drop(int i) {
    if (fd[i] >= 0)
      close(fd[i]);
    fd[i] = -1;
  }
};

// fd[0] reads, fd[1] writes.
struct pipeends : fds {
  pipeends() { EXPECT_EQ(pipe(fd), 0); }
};

// fd[0] is the master side, fd[1] a terminal in raw mode, so that the
// terminal's own line handling adds or removes no byte.
struct terminal : fds {
  terminal() {
    fd[0] = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(fd[0], 0);
    EXPECT_EQ(grantpt(fd[0]), 0);
    EXPECT_EQ(unlockpt(fd[0]), 0);
    fd[1] = open(ptsname(fd[0]), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd[1], 0);
    termios mode;
    EXPECT_EQ(tcgetattr(fd[1], &mode), 0);
    cfmakeraw(&mode);
    EXPECT_EQ(tcsetattr(fd[1], TCSANOW, &mode), 0);
  }
};

}  // namespace

static void put(int fd, std::string_view bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

// Waits until fd has at least n bytes ready to be read, so that one read
// takes all of them: a terminal passes written bytes on asynchronously.
static void waitready(int fd, int n) {
  int ready = 0;
  for (int tries = 0; tries < 5000; ++tries) {
    ASSERT_EQ(ioctl(fd, FIONREAD, &ready), 0);
    if (ready >= n)
      return;
    usleep(1000);
  }
  FAIL() << "only " << ready << " of " << n << " bytes arrived";
}

// Returns the bytes fd holds, waiting at most waitms for the first.
static std::string held(int fd, int waitms) {
  std::string got;
  pollfd ready = {fd, POLLIN, 0};
  while (poll(&ready, 1, got.empty() ? waitms : 0) == 1 &&
         (ready.revents & POLLIN)) {
    char chunk[8192];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0)
      break;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  return got;
}

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
    EXPECT_EQ(in->end - in->start, static_cast<std::size_t>(n));
    got->append(reinterpret_cast<const char*>(in->buf + in->start),
                in->end - in->start);
    in->start = in->end;
  }
  return n;
}

// Takes everything up to the end of input; *last is textfill's last result.
static std::string drain(textin* in, long* last) {
  std::string got;
  while ((*last = fill(in, &got)) > 0) {
  }
  return got;
}

static std::string drainfd(int fd) {
  textin in;
  textinopen(&in, fd);
  long last;
  std::string got = drain(&in, &last);
  EXPECT_EQ(last, 0);
  return got;
}

using namespace std::string_literals;

TEST(TextioRead, TranslatesCrLfOnly) {
  struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"x\r\ny\r\n", "x\ny\n"},
      {"x\ry", "x\ry"},
      {"x\r\r\n", "x\r\n"},
      {"x\n\n", "x\n\n"},
      {"x\r", "x\r"},
      {"\r\r", "\r\r"},
      {"\n\r", "\n\r"},
  };
  for (const auto& c : cases) {
    pipeends p;
    put(p.fd[1], c.in);
    p.drop(1);
    EXPECT_EQ(drainfd(p.fd[0]), c.out)
        << "input " << testing::PrintToString(c.in);
  }
}

TEST(TextioRead, EveryOtherByteUnchanged) {
  std::string bytes;
  for (int b = 0; b < 256; ++b)
    if (b != ctrlz)
      bytes += static_cast<char>(b);
  fds f;
  f.fd[0] = filewith(bytes);
  EXPECT_EQ(drainfd(f.fd[0]), bytes);
}

// The reader takes "x\r" before the rest is written: the CR is held back
// until the next read shows whether an LF follows it.
TEST(TextioRead, CrSplitAcrossReads) {
  struct {
    std::string rest, out;
  } cases[] = {{"\ny", "x\ny"}, {"y", "x\ry"}, {"", "x\r"}};
  for (const auto& c : cases) {
    pipeends p;
    textin in;
    textinopen(&in, p.fd[0]);
    std::string got;
    put(p.fd[1], "x\r");
    EXPECT_EQ(fill(&in, &got), 1);
    put(p.fd[1], c.rest);
    p.drop(1);
    long last;
    got += drain(&in, &last);
    EXPECT_EQ(got, c.out) << "then " << testing::PrintToString(c.rest);
    EXPECT_EQ(last, 0);
  }
}

TEST(TextioRead, CrAtBlockEdge) {
  const std::string lead(blocksize - 1, 'a');
  fds f;
  f.fd[0] = filewith(lead + "\r\nb");
  textin in;
  textinopen(&in, f.fd[0]);
  std::string got;
  EXPECT_EQ(fill(&in, &got), static_cast<long>(blocksize - 1));
  long last;
  got += drain(&in, &last);
  EXPECT_EQ(got, lead + "\nb");

  // The held CR is the very last byte of the data.
  f.drop(1);
  f.fd[1] = filewith(lead + "\r");
  EXPECT_EQ(drainfd(f.fd[1]), lead + "\r");
}

TEST(TextioRead, CtrlZEndsFileData) {
  fds f;
  f.fd[0] = filewith("x\r\x1Ay\n");
  EXPECT_EQ(drainfd(f.fd[0]), "x\r");
  f.fd[1] = filewith("\x1Ax");
  EXPECT_EQ(drainfd(f.fd[1]), "");
}

TEST(TextioRead, CtrlZFromPipeStopsReading) {
  pipeends p;
  textin in;
  textinopen(&in, p.fd[0]);
  std::string got;
  put(p.fd[1], "x\x1Ay");
  EXPECT_EQ(fill(&in, &got), 1);
  EXPECT_EQ(got, "x");
  put(p.fd[1], "later");
  p.drop(1);
  EXPECT_EQ(fill(&in, &got), 0);
  EXPECT_EQ(fill(&in, &got), 0);
  EXPECT_EQ(held(p.fd[0], 0), "later");
}

TEST(TextioRead, CtrlZFromTerminalDropsRestOfRead) {
  terminal t;
  // Each read below finds its bytes waiting; one read too many fails
  // rather than blocks.
  ASSERT_EQ(fcntl(t.fd[1], F_SETFL, O_NONBLOCK), 0);
  textin in;
  textinopen(&in, t.fd[1]);
  EXPECT_TRUE(in.device);
  std::string got;
  put(t.fd[0], "x\x1Ay\n");
  waitready(t.fd[1], 4);
  EXPECT_EQ(fill(&in, &got), 1);
  put(t.fd[0], "z\n");
  waitready(t.fd[1], 2);
  EXPECT_EQ(fill(&in, &got), 2);
  EXPECT_EQ(got, "xz\n");

  // A read that begins with Ctrl-Z is the end of input.
  put(t.fd[0], "\x1Aw\n");
  waitready(t.fd[1], 3);
  EXPECT_EQ(fill(&in, &got), 0);
  put(t.fd[0], "v");
  EXPECT_EQ(fill(&in, &got), 0);
  EXPECT_EQ(got, "xz\n");
}

TEST(TextioRead, FailedReadGivesMinusOne) {
  fds f;
  f.fd[0] = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(f.fd[0], 0);
  textin in;
  textinopen(&in, f.fd[0]);
  std::string got;
  EXPECT_EQ(fill(&in, &got), -1);
  EXPECT_EQ(fill(&in, &got), -1);
  EXPECT_EQ(got, "");
}

TEST(TextioRead, FailedReadStillDeliversHeldCr) {
  pipeends p;
  textin in;
  textinopen(&in, p.fd[0]);
  std::string got;
  put(p.fd[1], "x\r");
  EXPECT_EQ(fill(&in, &got), 1);
  p.drop(0);  // the next read fails on a closed descriptor
  EXPECT_EQ(fill(&in, &got), 1);
  EXPECT_EQ(fill(&in, &got), -1);
  EXPECT_EQ(got, "x\r");
}

TEST(TextioWrite, LfBecomesCrLf) {
  pipeends p;
  textout out;
  textoutopen(&out, p.fd[1]);
  std::string bytes = "a\nb\r\n\x1A\0\xFF\r"s;
  textwrite(&out, bytes.data(), bytes.size());
  EXPECT_EQ(textclose(&out), 0);
  p.fd[1] = -1;
  EXPECT_EQ(held(p.fd[0], 0), "a\r\nb\r\r\n\x1A\0\xFF\r"s);
}

TEST(TextioWrite, BlockCountedBeforeTranslation) {
  pipeends p;
  textout out;
  textoutopen(&out, p.fd[1]);
  const std::string lfs(blocksize - 1, '\n');
  textwrite(&out, lfs.data(), lfs.size());
  textendcall(&out);  // a pipe keeps its partial block
  EXPECT_EQ(held(p.fd[0], 0), "");
  textwrite(&out, "\nAB", 3);
  std::string crlfs;
  for (std::size_t i = 0; i < blocksize; ++i)
    crlfs += "\r\n";
  EXPECT_EQ(held(p.fd[0], 0), crlfs);
  EXPECT_EQ(textclose(&out), 0);
  p.fd[1] = -1;
  EXPECT_EQ(held(p.fd[0], 0), "AB");
}

TEST(TextioWrite, DeviceGetsEachCallAtEndCall) {
  terminal t;
  textout out;
  textoutopen(&out, t.fd[1]);
  EXPECT_TRUE(out.device);
  textwrite(&out, "ab\n", 3);
  EXPECT_EQ(held(t.fd[0], 50), "");
  textendcall(&out);
  EXPECT_EQ(held(t.fd[0], 5000), "ab\r\n");
}

TEST(TextioWrite, CloseReportsFailedWrite) {
  auto oldpipe = std::signal(SIGPIPE, SIG_IGN);
  pipeends p;
  p.drop(0);
  textout out;
  textoutopen(&out, p.fd[1]);
  textwrite(&out, "x\n", 2);
  EXPECT_EQ(textclose(&out), -1);
  p.fd[1] = -1;
  std::signal(SIGPIPE, oldpipe);

  textoutopen(&out, open("/dev/full", O_WRONLY));
  ASSERT_GE(out.fd, 0);
  textwrite(&out, "x", 1);
  EXPECT_EQ(textclose(&out), -1);
}
