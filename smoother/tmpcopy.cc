#include "smoother/tmpcopy.h"

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

// The intermediate file's blocks, counted before the line ends become
// CR LF.
constexpr std::size_t copyblock = 64 << 10;

// Writing a large copy keeps the kernel about as busy as reading the
// input and finding its lines, so pass 1 hands each full block to a thread
// of its own and reads on. The blocks go round a ring of rooms: pass 1
// fills one while the thread writes those before it.
constexpr long copyrooms = 3;

struct copywriter {
  textout file;  // the thread's stream to the same file
  owned<unsigned char> rooms;  // copyrooms of twice copyblock
  std::size_t sizes[copyrooms] = {};
  std::mutex m;
  std::condition_variable cv;
  long handed = 0;   // blocks handed over
  long written = 0;  // of them, the ones the thread is done with
  bool ending = false;
  bool failed = false;  // file's flags after the last block written
  bool gone = false;
  bool started = false;
  pthread_t thread;
};

static int cantopen(const diag& dg) {
  say(dg, {"Can't open ", tmpname, " for writing"});
  return -1;
}

// The signals that end a run early: every one whose default action ends
// the process and that a handler can catch. If one comes during pass 1,
// the run's own named file is removed, and the name keeps what it held. A
// signal handler can be handed nothing, so the name it removes is the one
// state of the run kept at file scope. The run ignores SIGPIPE and SIGXFSZ
// itself, so that a write they would stop fails with its message
// instead; an ignored signal stays ignored.
static bool endsrun(int sig) {
  switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
  }
  return true;
}
static volatile sig_atomic_t removeonsignal = 0;
static char removename[64];

static void removeandend(int sig) {
  if (removeonsignal)
    unlink(removename);
  signal(sig, SIG_DFL);
  raise(sig);
}

static void catchendsignals(tmpcopy* tf) {
  tf->caught = true;
  for (int sig = 1; sig < nsignals; ++sig) {
    // Signals kept for the threads library cannot be had.
    tf->held[sig] = endsrun(sig) &&
                    sigaction(sig, nullptr, &tf->before[sig]) == 0 &&
                    tf->before[sig].sa_handler != SIG_IGN;
    // A signal the caller ignores (nohup) stays ignored.
    if (tf->held[sig])
      signal(sig, removeandend);
  }
}

// Holds the end signals back while a file is being named or renamed, so
// that a signal finds it either without a name of its own or with one that
// the handler knows.
static void holdendsignals(sigset_t* old) {
  sigset_t ends;
  sigemptyset(&ends);
  for (int sig = 1; sig < nsignals; ++sig)
    if (endsrun(sig))
      sigaddset(&ends, sig);
  sigprocmask(SIG_BLOCK, &ends, old);
}

static void restoreendsignals(tmpcopy* tf) {
  removeonsignal = 0;
  if (!tf->caught)
    return;
  tf->caught = false;
  for (int sig = 1; sig < nsignals; ++sig)
    if (tf->held[sig])
      sigaction(sig, &tf->before[sig], nullptr);
}

static unsigned char* roomof(copywriter* cw, long block) {
  return cw->rooms.get() + (block % copyrooms) * 2 * copyblock;
}

static void* writeblocks(void* arg) {
  auto* cw = static_cast<copywriter*>(arg);
  std::unique_lock<std::mutex> lock(cw->m);
  for (;;) {
    cw->cv.wait(lock, [cw] { return cw->written < cw->handed || cw->ending; });
    if (cw->written == cw->handed)
      return nullptr;
    const long block = cw->written;
    lock.unlock();
    textwritetranslated(&cw->file, roomof(cw, block),
                        cw->sizes[block % copyrooms]);
    lock.lock();
    cw->failed = cw->file.failed;
    cw->gone = cw->file.gone;
    ++cw->written;
    cw->cv.notify_all();
  }
}

// Starts fn(arg) on a thread of its own, joinable unless detached, with
// the end signals held: a signal that comes while pass 1 names and renames
// its file must find pass 1's thread, which holds it back. A small stack,
// as the thread only writes or closes, and a run's address space may be
// capped. False when the thread cannot be had.
static bool startquiet(pthread_t* thread, void* (*fn)(void*), void* arg,
                       bool detached) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 << 10);
  if (detached)
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  sigset_t old;
  holdendsignals(&old);
  const bool started = pthread_create(thread, &attr, fn, arg) == 0;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
  return started;
}

static bool startwriter(copywriter* cw) {
  cw->started = startquiet(&cw->thread, writeblocks, cw, false);
  return cw->started;
}

static void* closefile(void* fd) {
  close(static_cast<int>(reinterpret_cast<std::intptr_t>(fd)));
  return nullptr;
}

// Lets go of the file that stood at the name before the rename took it,
// whose last reference is fd: freeing a large file's pages keeps the
// kernel busy a while, which a thread of its own spends while pass 2
// runs, where the run may keep two busy. A small one is let go of at once.
static void letgo(int fd, bool overlap) {
  struct stat st;
  pthread_t thread;
  if (fd >= 0 &&
      !(overlap && fstat(fd, &st) == 0 && st.st_size >= (1 << 20) &&
        startquiet(&thread, closefile,
                   reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)),
                   true)))
    close(fd);
}

// Takes a full block from pass 1 and gives back the room for the next,
// once the thread has one free. The thread is started with the first
// block: a small input is written by pass 1 itself at the end.
static unsigned char* handblock(textout* out) {
  auto* cw = static_cast<copywriter*>(out->handoffto);
  if (!cw->started && !startwriter(cw)) {
    out->handoff = nullptr;
    textflush(out);
    return out->buf;
  }
  std::unique_lock<std::mutex> lock(cw->m);
  cw->sizes[cw->handed % copyrooms] = out->len;
  ++cw->handed;
  cw->cv.notify_all();
  cw->cv.wait(lock, [cw] { return cw->handed - cw->written < copyrooms; });
  out->failed = cw->failed;
  out->gone = cw->gone;
  return roomof(cw, cw->handed);
}

// Ends the thread, where one was started, once it has written every
// block.
static void endwriter(copywriter* cw) {
  if (!cw->started)
    return;
  {
    std::lock_guard<std::mutex> lock(cw->m);
    cw->ending = true;
    cw->cv.notify_all();
  }
  pthread_join(cw->thread, nullptr);
  cw->started = false;
}

void copywriterend::operator()(copywriter* cw) const {
  endwriter(cw);
  delete cw;
}

// Keeps the file's descriptor above the standard streams: with one of them
// closed, the file would take its number, and messages or output meant for
// that stream would land in the file.
static int abovestreams(int fd) {
  if (fd < 0 || fd > 2)
    return fd;
  int moved = fcntl(fd, F_DUPFD, 3);
  close(fd);
  return moved;
}

// A fresh name beside the intermediate file for the run's own file. Names
// are only ever created with O_EXCL or linkat, which fail rather than
// follow or replace whatever another process put there first.
static void freshname(tmpcopy* tf) {
  if (tf->mix == 0)
    tf->mix = static_cast<unsigned long>(getpid()) ^
              static_cast<unsigned long>(std::time(nullptr));
  tf->mix = tf->mix * 6364136223846793005ul + 1442695040888963407ul;
  std::snprintf(tf->ownname, sizeof tf->ownname, "%s.%08lx", tmpname,
                (tf->mix >> 32) & 0xfffffffful);
}

// An unnamed file can be given a name later only through its link in
// /proc, which path is set to.
static bool linkable(int fd, char (&path)[32]) {
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return access(path, F_OK) == 0;
}

static int opennamed(tmpcopy* tf) {
  catchendsignals(tf);
  sigset_t old;
  holdendsignals(&old);
  int fd = -1;
  for (int tries = 0; tries < 100 && fd < 0; ++tries) {
    freshname(tf);
    fd = open(tf->ownname, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST)
      break;
  }
  if (fd >= 0) {
    std::snprintf(removename, sizeof removename, "%s", tf->ownname);
    removeonsignal = 1;
    tf->named = true;
  } else {
    restoreendsignals(tf);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return fd;
}

int tmpcreate(const diag& dg, tmpcopy* tf, bool overlap) {
  tf->overlap = overlap;
  struct stat atname;
  struct stat output;
  if (lstat(tmpname, &atname) == 0) {
    bool isoutput = fstat(STDOUT_FILENO, &output) == 0 &&
                    S_ISREG(atname.st_mode) &&
                    output.st_dev == atname.st_dev &&
                    output.st_ino == atname.st_ino;
    if (S_ISDIR(atname.st_mode) || isoutput)
      return cantopen(dg);
  }
  char path[32];
  int fd = open(".", O_TMPFILE | O_RDWR, 0666);
  if (fd >= 0 && !linkable(fd, path)) {
    close(fd);
    fd = -1;
  }
  if (fd < 0)
    fd = opennamed(tf);
  tf->fd = abovestreams(fd);
  if (tf->fd < 0) {
    if (tf->named)
      unlink(tf->ownname);
    restoreendsignals(tf);
    return cantopen(dg);
  }
  textoutopen(&tf->out, tf->fd);
  // The file is the run's own: no one sees how it is written, and large
  // blocks take fewer writes. Without the memory, the stream's own block
  // does, and without the writer's, pass 1 writes.
  if (overlap) {
    tf->writer.reset(create<copywriter>().release());
    if (tf->writer && !(tf->writer->rooms = allocate<unsigned char>(
                            2 * copyblock * copyrooms)))
      tf->writer.reset();
  }
  if (tf->writer) {
    copywriter* cw = tf->writer.get();
    textoutopen(&cw->file, tf->fd);
    textoutblock(&tf->out, roomof(cw, 0), copyblock);
    tf->out.handoff = handblock;
    tf->out.handoffto = cw;
  } else if ((tf->block = allocate<unsigned char>(2 * copyblock))) {
    textoutblock(&tf->out, tf->block.get(), copyblock);
  }
  return 0;
}

// Gives the unnamed file a fresh name of its own, ready to be renamed.
static bool linkunnamed(tmpcopy* tf) {
  char path[32];
  if (!linkable(tf->fd, path))
    return false;
  for (int tries = 0; tries < 100; ++tries) {
    freshname(tf);
    if (linkat(AT_FDCWD, path, AT_FDCWD, tf->ownname, AT_SYMLINK_FOLLOW) == 0)
      return true;
    if (errno != EEXIST)
      return false;
  }
  return false;
}

int tmpputinplace(const diag& dg, tmpcopy* tf, bool report) {
  // What the thread has not been handed is written here; once it has
  // written the rest, its flags tell how the writing went.
  copywriter* const cw = tf->writer.get();
  if (cw && !cw->started)
    tf->out.handoff = nullptr;
  textflush(&tf->out);
  if (cw && cw->started) {
    endwriter(cw);
    tf->out.failed = cw->failed;
    tf->out.gone = cw->gone;
  }
  // No signal may come between the file getting a name and its rename, so
  // that nothing but the finished name is ever left behind.
  sigset_t old;
  holdendsignals(&old);
  bool named = tf->named || linkunnamed(tf);
  // What stands at the name is held, never opened for reading or writing,
  // so that the rename does not free it.
#ifdef O_PATH
  const int before =
      named ? open(tmpname, O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
#else
  const int before = -1;
#endif
  bool inplace = named && rename(tf->ownname, tmpname) == 0;
  if (named && !inplace)
    unlink(tf->ownname);
  restoreendsignals(tf);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  letgo(before, inplace && tf->overlap);
  if (!report)
    return 0;
  if (!inplace)
    return cantopen(dg);
  if (tf->out.failed) {
    say(dg, {"Error writing ", tmpname});
    return -1;
  }
  return 0;
}

int tmpreadback(const diag& dg, tmpcopy* tf) {
  if (lseek(tf->fd, 0, SEEK_SET) != 0) {
    say(dg, {"Can't open ", tmpname, " for reading"});
    return -1;
  }
  return 0;
}

void tmpreadfailed(const diag& dg) {
  say(dg, {"Error reading ", tmpname});
}

void tmpclose(tmpcopy* tf) {
  if (tf->fd >= 0)
    close(tf->fd);
  tf->fd = -1;
}
