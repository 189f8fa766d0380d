#include "textio/textio.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

static bool isdevice(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
}

void textinopen(textin* in, int fd) {
  *in = textin();
  in->fd = fd;
  in->device = isdevice(fd);
}

// Hands back a CR that was held at the end of the last block, because no
// LF follows it after all.
static long delivercr(textin* in) {
  in->pendingcr = false;
  in->buf[0] = '\r';
  in->start = 0;
  in->end = 1;
  return 1;
}

long textfill(textin* in) {
  if (in->start < in->end)
    return static_cast<long>(in->end - in->start);
  for (;;) {
    if (in->ended || in->failed)
      return in->pendingcr ? delivercr(in) : (in->failed ? -1 : 0);
    unsigned char* data = in->buf + 1;
    ssize_t got = read(in->fd, data, blocksize);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      in->failed = true;
      continue;
    }
    if (got == 0) {
      in->ended = true;
      continue;
    }
    std::size_t n = static_cast<std::size_t>(got);
    // From a file or a pipe Ctrl-Z ends the data for good; a terminal drops
    // only the rest of the read that holds it, unless the read begins with
    // it, which a user types to end the input.
    auto* stop = static_cast<unsigned char*>(std::memchr(data, ctrlz, n));
    if (stop) {
      n = static_cast<std::size_t>(stop - data);
      if (!in->device || n == 0)
        in->ended = true;
    }
    if (in->pendingcr) {
      in->pendingcr = false;
      if (n == 0 || data[0] != '\n') {
        --data;
        data[0] = '\r';
        ++n;
      }
    }
    // Fold each CR LF into LF in place. A CR at the very end of the block
    // is held back until the next block shows whether its LF follows.
    std::size_t out = 0;
    std::size_t from = 0;
    while (from < n) {
      auto* cr = static_cast<unsigned char*>(
          std::memchr(data + from, '\r', n - from));
      std::size_t upto = cr ? static_cast<std::size_t>(cr - data) : n;
      if (out != from)
        std::memmove(data + out, data + from, upto - from);
      out += upto - from;
      from = upto;
      if (!cr)
        break;
      if (upto + 1 < n) {
        if (data[upto + 1] != '\n')
          data[out++] = '\r';
        from = upto + 1;
      } else {
        if (in->ended)
          data[out++] = '\r';
        else
          in->pendingcr = true;
        from = n;
      }
    }
    if (out > 0) {
      in->start = static_cast<std::size_t>(data - in->buf);
      in->end = in->start + out;
      return static_cast<long>(out);
    }
  }
}

void textoutopen(textout* out, int fd) {
  out->fd = fd;
  out->device = isdevice(fd);
  out->failed = false;
  out->count = 0;
  out->len = 0;
}

// Writes every byte of the block, through short writes; a failed write
// loses the rest of the block and is only remembered.
void textflush(textout* out) {
  std::size_t done = 0;
  while (done < out->len) {
    ssize_t put = write(out->fd, out->buf + done, out->len - done);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0) {
      out->failed = true;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  out->count = 0;
  out->len = 0;
}

void textwrite(textout* out, const void* data, std::size_t n) {
  const auto* from = static_cast<const unsigned char*>(data);
  while (n > 0) {
    std::size_t take = blocksize - out->count;
    if (take > n)
      take = n;
    const unsigned char* stop = from + take;
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
  if (out->device && out->len > 0)
    textflush(out);
}

int textclose(textout* out) {
  if (out->len > 0)
    textflush(out);
  int closed = close(out->fd);
  out->fd = -1;
  return (out->failed || closed != 0) ? -1 : 0;
}
