#include "textio/textio.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

void textinopen(textin* in, int fd) {
  // The block is left as it is: a whole new stream would be built on the
  // stack, which may be small.
  static_cast<textinstate&>(*in) = textinstate();
  in->fd = fd;
  in->terminal = isatty(fd) == 1;
  struct stat st;
  const bool stated = fstat(fd, &st) == 0;
  in->canwait = stated && !S_ISREG(st.st_mode);
  if (stated && S_ISREG(st.st_mode))
    in->readsize = fileblocks;
}

bool ispipe(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

bool readergone(int fd) {
  pollfd p = {fd, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

// True when a read or write of fd failed only because fd is non-blocking
// (as a parent process may leave it) and would have had to wait. A
// blocking descriptor that gives up (a socket's receive timeout) failed.
static bool wouldblock(int fd) {
  return (errno == EAGAIN || errno == EWOULDBLOCK) &&
         (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// Waits until fd is ready for events, or, on a read, until the watched
// output's reader has gone. False when that reader has gone.
static bool waitfor(int fd, short events, int watch) {
  pollfd p[2] = {{fd, events, 0}, {watch, 0, 0}};
  while (poll(p, watch >= 0 ? 2 : 1, -1) < 0 && errno == EINTR)
    ;
  return watch < 0 || (p[1].revents & (POLLERR | POLLHUP)) == 0;
}

// Reads up to size bytes into data, as read does, waiting for a
// descriptor that would block. The watched output is looked at before a
// read that may wait, and every 64 blocks.
static ssize_t readsome(textin* in, unsigned char* data, std::size_t size) {
  for (;;) {
    if (in->watch >= 0 && (in->waited || ++in->reads % 64 == 0)) {
      const bool going = in->waited ? waitfor(in->fd, POLLIN, in->watch)
                                    : !readergone(in->watch);
      if (!going) {
        in->watchgone = true;
        return 0;
      }
    }
    ssize_t got = read(in->fd, data, size);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0 && wouldblock(in->fd)) {
      if (!waitfor(in->fd, POLLIN, in->watch)) {
        in->watchgone = true;
        return 0;
      }
      continue;
    }
    in->waited = in->canwait && got >= 0 &&
                 static_cast<std::size_t>(got) < size;
    return got;
  }
}

// Reads one block into data and returns how many of its bytes count: from
// a file or a pipe Ctrl-Z ends the data for good; a terminal drops only
// the rest of the read that holds it, unless the read begins with it,
// which a user types to end the input. Sets in->ended or in->failed.
static std::size_t readblock(textin* in, unsigned char* data) {
  const ssize_t got =
      in->peeked >= 0 ? in->peeked : readsome(in, data, in->readsize);
  in->peeked = -1;
  if (got <= 0) {
    (got == 0 ? in->ended : in->failed) = true;
    return 0;
  }
  std::size_t n = static_cast<std::size_t>(got);
  const unsigned long long before = in->bytesread;
  in->bytesread += n;
  auto* stop = static_cast<unsigned char*>(std::memchr(data, ctrlz, n));
  if (stop) {
    n = static_cast<std::size_t>(stop - data);
    if (!in->terminal || n == 0)
      in->ended = in->ctrlz = true;
    // A file read many blocks at once is left where reading it a block at
    // a time leaves it: after the block that holds the Ctrl-Z, for
    // whatever reads the same open file next.
    const unsigned long long blockend = (before + n) / blocksize * blocksize +
                                        blocksize;
    if (in->ctrlz && in->readsize > blocksize && blockend < in->bytesread &&
        lseek(in->fd, -static_cast<off_t>(in->bytesread - blockend),
              SEEK_CUR) >= 0)
      in->bytesread = blockend;
  }
  return n;
}

// Folds each CR LF of data[0..n) into LF in place and returns the new
// length. A CR at the very end is held back until the next block shows
// whether its LF follows, unless no block will follow: the input ended or
// a read failed.
static std::size_t foldcrlf(textin* in, unsigned char* data, std::size_t n) {
  std::size_t out = 0;
  std::size_t from = 0;
  while (from < n) {
    auto* cr =
        static_cast<unsigned char*>(std::memchr(data + from, '\r', n - from));
    std::size_t upto = cr ? static_cast<std::size_t>(cr - data) : n;
    if (out != from)
      std::memmove(data + out, data + from, upto - from);
    out += upto - from;
    if (!cr)
      break;
    if (upto + 1 < n) {
      if (data[upto + 1] != '\n')
        data[out++] = '\r';
      from = upto + 1;
    } else {
      if (in->ended || in->failed)
        data[out++] = '\r';
      else
        in->pendingcr = true;
      from = n;
    }
  }
  return out;
}

long textpeek(textin* in, const unsigned char** data) {
  unsigned char* block = in->buf + 1;  // where readblock reads
  *data = block;
  long got = readsome(in, block, in->readsize);
  // A lone first byte of the two that mark compressed input wants the
  // second, so that the caller can tell.
  if (got == 1 && block[0] == 0x1f) {
    const long more = readsome(in, block + 1, in->readsize - 1);
    got += more > 0 ? more : 0;
  }
  in->peeked = got < 0 ? -1 : got;
  if (got < 0)
    in->failed = true;
  return got;
}

long textfill(textin* in) {
  if (in->start < in->end)
    return static_cast<long>(in->end - in->start);
  for (;;) {
    if (in->ended || in->failed)
      return in->failed ? -1 : 0;
    unsigned char* data = in->buf + 1;
    std::size_t n = readblock(in, data);
    if (in->pendingcr) {
      in->pendingcr = false;
      if (n == 0 || data[0] != '\n') {
        *--data = '\r';
        ++n;
      }
    }
    n = foldcrlf(in, data, n);
    if (n > 0) {
      in->start = static_cast<std::size_t>(data - in->buf);
      in->end = in->start + n;
      return static_cast<long>(n);
    }
  }
}

void textoutopen(textout* out, int fd) {
  *out = textout();
  out->buf = out->ownbuf;
  out->fd = fd;
  out->terminal = isatty(fd) == 1;
}

// Writes the n bytes at data to out's descriptor, through short writes,
// unless a write has failed or the reader has gone. A reader that has gone
// away is told apart from other failures: that is how a pipeline such as
// `| head` ends a writer, and it is not an error.
static void putall(textout* out, const unsigned char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n && !out->failed && !out->gone) {
    ssize_t put = write(out->fd, data + done, n - done);
    if (put < 0 && errno == EINTR)
      continue;
    // A descriptor left non-blocking takes the rest once it has room.
    if (put < 0 && wouldblock(out->fd)) {
      waitfor(out->fd, POLLOUT, -1);
      continue;
    }
    if (put <= 0)
      (put < 0 && errno == EPIPE ? out->gone : out->failed) = true;
    else
      done += static_cast<std::size_t>(put);
  }
}

void textflush(textout* out) {
  if (out->handoff && out->len > 0)
    out->buf = out->handoff(out);
  else
    putall(out, out->buf, out->len);
  out->count = 0;
  out->len = 0;
}

void textwritetranslated(textout* out, const void* data, std::size_t n) {
  textflush(out);
  putall(out, static_cast<const unsigned char*>(data), n);
}

void textwrite(textout* out, const void* data, std::size_t n) {
  const auto* from = static_cast<const unsigned char*>(data);
  while (n > 0 && !out->failed && !out->gone) {
    std::size_t take = out->block - out->count;
    if (take > n)
      take = n;
    const unsigned char* stop = from + take;
    if (!out->crlf) {
      std::memcpy(out->buf + out->len, from, take);
      out->len += take;
      from = stop;
    }
    while (from < stop) {
      auto* lf = static_cast<const unsigned char*>(
          std::memchr(from, '\n', static_cast<std::size_t>(stop - from)));
      const unsigned char* upto = lf ? lf : stop;
      std::memcpy(out->buf + out->len, from,
                  static_cast<std::size_t>(upto - from));
      out->len += static_cast<std::size_t>(upto - from);
      from = upto;
      if (lf) {
        out->buf[out->len++] = '\r';
        out->buf[out->len++] = '\n';
        ++from;
      }
    }
    out->count += take;
    n -= take;
    if (out->count == out->block)
      textflush(out);
  }
}

void textwriteline(textout* out, const void* data, std::size_t n) {
  const auto* from = static_cast<const unsigned char*>(data);
  const bool lf = out->crlf && n > 0 && from[n - 1] == '\n';
  while (n > 0 && !out->failed && !out->gone) {
    std::size_t take = out->block - out->count;
    if (take > n)
      take = n;
    const bool last = lf && take == n;  // the piece that ends in the LF
    std::memcpy(out->buf + out->len, from, take - last);
    out->len += take - last;
    if (last) {
      out->buf[out->len++] = '\r';
      out->buf[out->len++] = '\n';
    }
    from += take;
    n -= take;
    out->count += take;
    if (out->count == out->block)
      textflush(out);
  }
}

void textoutblock(textout* out, unsigned char* room, std::size_t block) {
  out->buf = room;
  out->block = block;
}

void textendcall(textout* out) {
  if (out->terminal && out->len > 0)
    textflush(out);
}
