#include "smoother/input.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "smoother/memory.h"

int inputopen(const diag& dg, std::string_view name, input* in) {
  in->name = name;
  if (name.empty()) {
    in->fd = STDIN_FILENO;
    return 0;
  }
  // The name is an argument, so it ends with a NUL.
  in->fd = open(name.data(), O_RDONLY | O_CLOEXEC);
  in->ownfd = in->fd >= 0;
  struct stat st;
  if (in->fd < 0 || fstat(in->fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    say(dg, {"Can't open ", name, " for reading"});
    return -1;
  }
  return 0;
}

// What the decompressing thread reads and writes at a time.
constexpr std::size_t inflateblock = 1 << 16;

// zlib's decompressor takes a state of some 7 KB and a window of 32 KB.
constexpr std::size_t arenasize = 1 << 16;

// zlib's allocator: room from the input's arena, which is freed with it.
static voidpf fromarena(voidpf opaque, uInt items, uInt size) {
  auto* in = static_cast<input*>(opaque);
  const std::size_t bytes = (static_cast<std::size_t>(items) * size + 15) /
                            16 * 16;
  if (bytes > arenasize - in->arenaused)
    return Z_NULL;
  voidpf at = in->arena.get() + in->arenaused;
  in->arenaused += bytes;
  return at;
}

static void toarena(voidpf, voidpf) {}

// Writes all of data to the pipe. False once its reader has gone.
static bool putall(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// Decompresses every member of the gzip data in turn into the pipe, until
// the data ends after a whole member, or is not whole gzip data (then
// faulted is set), or the pipe's reader has gone.
static bool inflateall(input* in, z_stream* zs) {
  const int out = in->pipefds[1];
  zs->next_in = const_cast<unsigned char*>(in->first);
  zs->avail_in = static_cast<uInt>(in->nfirst);
  bool member = true;  // inside a member: the data may not end here
  bool full = false;   // the last output filled its block: more may wait
  for (;;) {
    if (zs->avail_in == 0 && !full) {
      // Input that may keep the thread waiting (a pipe, non-blocking or
      // not) is waited for beside the text's reader, which may go: then
      // nothing more is decompressed.
      pollfd p[2] = {{in->fd, POLLIN, 0}, {out, 0, 0}};
      if (in->raw.canwait && poll(p, 2, -1) < 0 && errno == EINTR)
        continue;
      if (in->raw.canwait && (p[1].revents & (POLLERR | POLLHUP)))
        return true;
      const ssize_t got = read(in->fd, in->zin.get(), inflateblock);
      if (got < 0 && (errno == EINTR || errno == EAGAIN))
        continue;
      if (got <= 0)
        return got == 0 && !member;
      in->rawread.fetch_add(static_cast<unsigned long long>(got),
                            std::memory_order_relaxed);
      zs->next_in = in->zin.get();
      zs->avail_in = static_cast<uInt>(got);
    }
    if (!member) {
      // Bytes after a member must begin another.
      if (inflateReset(zs) != Z_OK)
        return false;
      member = true;
    }
    zs->next_out = in->zout.get();
    zs->avail_out = inflateblock;
    const int status = inflate(zs, Z_NO_FLUSH);
    full = zs->avail_out == 0;
    // What came before a fault counts as read: the lines of a member are
    // out before its check at the end.
    if (!putall(out, in->zout.get(), inflateblock - zs->avail_out))
      return true;  // no one reads the text any more
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
      return false;
    member = status != Z_STREAM_END;
  }
}

static void* inflatethread(void* arg) {
  auto* in = static_cast<input*>(arg);
  const bool whole = inflateall(in, &in->zs);
  in->faulted.store(!whole, std::memory_order_relaxed);
  close(in->pipefds[1]);
  in->pipefds[1] = -1;
  return nullptr;
}

textin* inputstart(const diag& dg, input* in, outwatch* watch) {
  textinopen(&in->raw, in->fd);
  in->raw.watch = watch->fd;
  const long got = textpeek(&in->raw, &in->first);
  in->gzip = got >= 2 && in->first[0] == 0x1f && in->first[1] == 0x8b;
  if (!in->gzip)
    return &in->raw;
  in->nfirst = static_cast<std::size_t>(got);
  in->rawread.store(in->nfirst, std::memory_order_relaxed);
  std::memset(&in->zs, 0, sizeof in->zs);
  in->zs.zalloc = fromarena;
  in->zs.zfree = toarena;
  in->zs.opaque = in;
  // 16 + 15: gzip members only, with the largest window, which zlib takes
  // at its first use; the arena keeps room for it.
  if ((in->zin = allocate<unsigned char>(inflateblock)) &&
      (in->zout = allocate<unsigned char>(inflateblock)) &&
      (in->arena = allocate<unsigned char>(arenasize)) &&
      inflateInit2(&in->zs, 16 + MAX_WBITS) == Z_OK &&
      pipe2(in->pipefds, O_CLOEXEC) == 0) {
    in->zstarted = true;
    // A larger pipe lets the thread run further ahead; where it can't be
    // had, the pipe works as it is.
    fcntl(in->pipefds[1], F_SETPIPE_SZ, 1 << 20);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    // The thread takes no signal: one that ends the run must find pass 1's
    // own thread, which holds it back while the copy is given its name.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    in->inflating =
        pthread_create(&in->inflater, &attr, inflatethread, in) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (!in->inflating) {
      close(in->pipefds[1]);
      in->pipefds[1] = -1;
    }
  }
  if (!in->inflating) {
    say(dg, {"Unable to allocate memory for the decompression"});
    return nullptr;
  }
  textinopen(&in->text, in->pipefds[0]);
  in->text.watch = watch->fd;
  return &in->text;
}

unsigned long long inputbytes(const input& in) {
  return in.gzip ? in.rawread.load(std::memory_order_relaxed)
                 : in.raw.bytesread;
}

unsigned long long inputsize(const input& in) {
  struct stat st;
  if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return 0;
  const off_t at = in.name.empty() ? lseek(in.fd, 0, SEEK_CUR) : 0;
  return at >= 0 && at < st.st_size
             ? static_cast<unsigned long long>(st.st_size - at)
             : 0;
}

// Stops the decompressing thread, which finds the pipe without a reader,
// and waits for it.
static void stopinflater(input* in) {
  if (in->pipefds[0] >= 0)
    close(in->pipefds[0]);
  in->pipefds[0] = -1;
  if (in->inflating)
    pthread_join(in->inflater, nullptr);
  in->inflating = false;
}

bool inputfailed(input* in) {
  if (!in->gzip)
    return in->raw.failed;
  if (in->text.failed)
    return true;
  // What a Ctrl-Z ends is not looked at any further.
  if (in->text.ctrlz)
    return false;
  stopinflater(in);
  return in->faulted.load(std::memory_order_relaxed);
}

void inputreadfailed(const diag& dg, const input& in) {
  if (in.name.empty())
    say(dg, {"Error reading standard input"});
  else
    say(dg, {"Error reading ", in.name});
}

input::~input() {
  stopinflater(this);
  if (zstarted)
    inflateEnd(&zs);
  if (ownfd)
    close(fd);
}
