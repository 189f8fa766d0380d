#include "textio/textio.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

void textinopen(textin* in, int fd) {
  *in = textin();
  in->fd = fd;
  in->terminal = isatty(fd) == 1;
}

// Reads one block into data and returns how many of its bytes count: from
// a file or a pipe Ctrl-Z ends the data for good; a terminal drops only
// the rest of the read that holds it, unless the read begins with it,
// which a user types to end the input. Sets in->ended or in->failed.
static std::size_t readblock(textin* in, unsigned char* data) {
  ssize_t got;
  do
    got = read(in->fd, data, blocksize);
  while (got < 0 && errno == EINTR);
  if (got <= 0) {
    (got == 0 ? in->ended : in->failed) = true;
    return 0;
  }
  std::size_t n = static_cast<std::size_t>(got);
  in->bytesread += n;
  auto* stop = static_cast<unsigned char*>(std::memchr(data, ctrlz, n));
  if (stop) {
    n = static_cast<std::size_t>(stop - data);
    if (!in->terminal || n == 0)
      in->ended = true;
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
  out->fd = fd;
  out->terminal = isatty(fd) == 1;
}

// Writes every byte of the block, through short writes. A reader that has
// gone away is told apart from other failures: that is how a pipeline
// such as `| head` ends a writer, and it is not an error.
void textflush(textout* out) {
  std::size_t done = 0;
  while (done < out->len && !out->failed && !out->gone) {
    ssize_t put = write(out->fd, out->buf + done, out->len - done);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      (put < 0 && errno == EPIPE ? out->gone : out->failed) = true;
    else
      done += static_cast<std::size_t>(put);
  }
  out->count = 0;
  out->len = 0;
}

void textwrite(textout* out, const void* data, std::size_t n) {
  const auto* from = static_cast<const unsigned char*>(data);
  while (n > 0 && !out->failed && !out->gone) {
    std::size_t take = blocksize - out->count;
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
    if (out->count == blocksize)
      textflush(out);
  }
}

void textendcall(textout* out) {
  if (out->terminal && out->len > 0)
    textflush(out);
}
