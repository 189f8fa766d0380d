// The text streams over arbitrary chunkings. Input layout: one byte n
// (taken mod 16), then n bytes that each give a chunk length (1 to 4336),
// used in turn (for reading, only for the first 64 chunks); the rest is the
// data.
//
// Reading: the data goes through a pipe one chunk per read, the writer
// waiting until the reader has drained each, and textcopy's copy loop must
// put out the reference translation, each LF as CR LF, whatever the chunks;
// read from a regular file, the stream must deliver the translation. After
// a Ctrl-Z the reader must not read again. Writing: the data is written in
// calls of the chunk lengths and must come out with each LF as CR LF, the
// file growing only by whole blocks of 4096 bytes counted before
// translation.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "copyfilter/copyfilter.h"
#include "fuzz/reference.h"
#include "textio/textio.h"

static int filefd = -1;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/textio_fuzz.XXXXXX";
  filefd = mkstemp(name);
  if (filefd < 0)
    std::abort();
  unlink(name);
  return 0;
}

static int pending(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0)
    std::abort();
  return n;
}

static void reset(int fd) {
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
    std::abort();
}

static std::size_t filesize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    std::abort();
  return static_cast<std::size_t>(st.st_size);
}

static std::string contents(int fd) {
  std::string all(filesize(fd), '\0');
  if (pread(fd, all.data(), all.size(), 0) !=
      static_cast<ssize_t>(all.size()))
    std::abort();
  return all;
}

// Reads all of in, the way the programs take its bytes.
static std::string readall(textin* in) {
  std::string got;
  for (;;) {
    long n = textfill(in);
    FUZZCHECK(n >= 0);
    if (n == 0)
      return got;
    got.append(reinterpret_cast<const char*>(in->buf + in->start),
               static_cast<std::size_t>(n));
    in->start = in->end;
  }
}

static void readpipe(std::string_view data,
                     const std::vector<std::size_t>& chunks,
                     const std::string& want) {
  int p[2];
  if (pipe(p) != 0)
    std::abort();
  std::atomic<bool> done{false};
  // Each chunk goes in only once the last is drained, so that every read
  // the stream makes sees exactly one chunk (or a block of it).
  std::thread writer([&] {
    std::size_t at = 0;
    for (std::size_t c = 0; at < data.size(); ++c) {
      while (!done && pending(p[0]) > 0)
        sched_yield();
      if (done)
        return;
      // Past 64 chunks the rest goes in whole blocks, which bounds the
      // hand-overs an input costs.
      std::size_t len = c < 64 ? chunks[c % chunks.size()] : blocksize;
      if (len > data.size() - at)
        len = data.size() - at;
      if (write(p[1], data.data() + at, len) != static_cast<ssize_t>(len))
        std::abort();
      at += len;
    }
    close(p[1]);
    p[1] = -1;
  });
  // The copy filter's loop, into a file: each read's bytes go out as
  // they came, so the copy is the translation with LF as CR LF.
  static textin in;
  textinopen(&in, p[0]);
  static textout copy;
  reset(filefd);
  textoutopen(&copy, filefd);
  FUZZCHECK(copytext(&in, &copy) == 0);
  done = true;
  writer.join();
  FUZZCHECK(contents(filefd) == crlf(want));
  if (p[1] >= 0) {
    // The data ended at a Ctrl-Z with the pipe still open: nothing more
    // may be read from it, not even what comes after.
    int left = pending(p[0]);
    if (write(p[1], "x", 1) != 1)
      std::abort();
    FUZZCHECK(textfill(&in) == 0);
    FUZZCHECK(pending(p[0]) == left + 1);
    close(p[1]);
  }
  close(p[0]);
}

static void readfile(std::string_view data, const std::string& want) {
  reset(filefd);
  if (pwrite(filefd, data.data(), data.size(), 0) !=
      static_cast<ssize_t>(data.size()))
    std::abort();
  static textin in;
  textinopen(&in, filefd);
  FUZZCHECK(readall(&in) == want);
}


static void writefile(std::string_view data,
                      const std::vector<std::size_t>& chunks) {
  reset(filefd);
  static textout out;
  textoutopen(&out, dup(filefd));
  std::size_t at = 0;
  std::size_t blocks = 0;  // bytes of data in whole blocks so far
  std::size_t written = 0;  // what they come to with CR LF
  for (std::size_t c = 0; at < data.size(); ++c) {
    std::size_t len = chunks[c % chunks.size()];
    if (len > data.size() - at)
      len = data.size() - at;
    textwrite(&out, data.data() + at, len);
    textendcall(&out);
    at += len;
    for (; blocks + blocksize <= at; blocks += blocksize)
      written += crlf(data.substr(blocks, blocksize)).size();
    FUZZCHECK(filesize(filefd) == written);
  }
  FUZZCHECK(textclose(&out) == 0);
  FUZZCHECK(contents(filefd) == crlf(data));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  if (size == 0)
    return 0;
  std::size_t n = bytes[0] % 16;
  if (size < 1 + n)
    return 0;
  std::vector<std::size_t> chunks;
  for (std::size_t i = 0; i < n; ++i)
    chunks.push_back(1 + bytes[1 + i] * 17u);
  if (chunks.empty())
    chunks.push_back(size);
  std::string_view data(reinterpret_cast<const char*>(bytes) + 1 + n,
                        size - 1 - n);
  std::string want = translated(data);
  readpipe(data, chunks, want);
  readfile(data, want);
  writefile(data, chunks);
  return 0;
}
