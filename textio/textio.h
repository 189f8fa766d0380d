// Text streams: the byte translation every stream of both programs goes
// through. Reading delivers CR LF as LF and ends at Ctrl-Z (0x1A); writing
// turns every LF into CR LF. Reads take 4096-byte blocks, a regular file
// 16 of them at once; writes take 4096-byte blocks too, unless the writer
// is given a larger block of its own.
#pragma once

#include <cstddef>

constexpr std::size_t blocksize = 4096;
constexpr std::size_t fileblocks = 16 * blocksize;
constexpr unsigned char ctrlz = 0x1A;

// What a stream being read knows besides its bytes.
struct textinstate {
  int fd;
  bool terminal;           // Ctrl-Z ends only the read that holds it
  bool canwait = false;    // a pipe, socket or terminal: a read may wait
  bool ended = false;      // no further read will be made
  bool failed = false;     // a read failed (not end of input)
  bool pendingcr = false;  // a block ended in CR; its LF may come next
  // A pipe or socket written by the same run: once its reader has gone,
  // the input ends, however long the writer of the input takes.
  int watch = -1;
  bool watchgone = false;  // the input ended because that reader went
  bool waited = false;     // the last read was short: the next may wait
  unsigned reads = 0;
  bool ctrlz = false;      // the input ended at a Ctrl-Z
  long peeked = -1;        // a first read, looked at and not yet taken
  unsigned long long bytesread = 0;  // from the descriptor, before any change
  // Bytes a read asks for: a block, or from a regular file many blocks,
  // as no one sees how it is read.
  std::size_t readsize = blocksize;
  std::size_t start = 0;
  std::size_t end = 0;
};

// A stream being read. The bytes buf[start..end) have been translated and
// not yet taken; a reader takes them by advancing start.
struct textin : textinstate {
  // One spare byte in front, so that a held-back CR can be put back ahead
  // of the next block without moving it.
  unsigned char buf[fileblocks + 1];
};

// A stream being written. Up to a block of bytes (blocksize, or more for
// a file whose blocks no one sees) is collected, counted before
// translation, and goes out when the block is full and on textflush; a
// terminal gets each call's bytes at textendcall. Once a write has
// failed, or the reader has gone, nothing more is written.
struct textout {
  int fd;
  bool terminal;
  bool crlf = true;             // each LF goes out as CR LF
  bool failed = false;          // a write failed: bytes were lost
  bool gone = false;            // the reader went away (a broken pipe)
  std::size_t count = 0;        // bytes collected, before translation
  std::size_t len = 0;          // bytes in buf, after translation
  std::size_t block = blocksize;
  unsigned char* buf = ownbuf;  // room for a block, each byte doubled
  unsigned char ownbuf[2 * blocksize];
  // Where the blocks go, when another thread writes them: a handler that
  // takes buf's len bytes, sets failed and gone as far as it knows, and
  // hands back the room for the next block. Null: they are written here.
  unsigned char* (*handoff)(textout* out) = nullptr;
  void* handoffto = nullptr;  // the handler's own
};

// Sets in up to read descriptor fd.
void textinopen(textin* in, int fd);

// Makes translated bytes available in in->buf[start..end) when none are.
// Returns how many are available, 0 at end of input, -1 when a read failed.
long textfill(textin* in);

// Makes in's first read, before anything is taken, and sets *data to its
// bytes as they came, untranslated: at least two of them unless the input
// has fewer. Returns their count (0 at the end of the input, -1 when the
// read failed); textfill then delivers them, translated, as usual.
long textpeek(textin* in, const unsigned char** data);

// Sets out up to write descriptor fd.
void textoutopen(textout* out, int fd);

// Collects out's bytes in blocks of block bytes, in room, which holds
// twice as many; nothing may have been written yet.
void textoutblock(textout* out, unsigned char* room, std::size_t block);

// Appends n bytes to out, each LF as CR LF unless out->crlf is cleared;
// full blocks are written.
void textwrite(textout* out, const void* data, std::size_t n);

// Appends the n bytes of a line, whose one LF, where it has one, is its
// last byte: as textwrite does, without looking for others.
void textwriteline(textout* out, const void* data, std::size_t n);

// Writes n bytes whose line ends are already as out writes them, after
// what out has collected. The bytes go out as they are, in one block: for
// an output where no one sees its blocks.
void textwritetranslated(textout* out, const void* data, std::size_t n);

// Ends one call's output: a terminal is written to at once.
void textendcall(textout* out);

// Writes out whatever out has collected; out->failed and out->gone tell
// whether it arrived, or, with a handoff, whether what was handed off
// before has.
void textflush(textout* out);

// True when fd is a pipe or a socket: its reader can go away.
bool ispipe(int fd);

// True when the reader of the pipe or socket fd has gone away, so that a
// write to it would fail; it does not wait.
bool readergone(int fd);
