#include "smoother/tmpcopy.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static int cantopen(const diag& dg) {
  say(dg, {"Can't open ", tmpname, " for writing"});
  return -1;
}

// The signals that end a run early; if one comes during pass 1, the run's
// own named file is removed, and the name keeps what it held. A signal
// handler can be handed nothing, so the name it removes is the one state
// of the run kept at file scope. The run ignores SIGPIPE and SIGXFSZ
// itself, so that a write they would stop fails with its message
// instead; an ignored signal stays ignored.
static const int endsignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT,
                                 SIGUSR1, SIGUSR2,   SIGALRM, SIGVTALRM,
                                 SIGPROF, SIGXCPU,   SIGXFSZ};
static_assert(sizeof endsignals / sizeof endsignals[0] == nendsignals);
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
  for (int s = 0; s < nendsignals; ++s) {
    sigaction(endsignals[s], nullptr, &tf->before[s]);
    // A signal the caller ignores (nohup) stays ignored.
    if (tf->before[s].sa_handler != SIG_IGN)
      signal(endsignals[s], removeandend);
  }
}

// Holds the end signals back while a file is being named or renamed, so
// that a signal finds it either without a name of its own or with one that
// the handler knows.
static void holdendsignals(sigset_t* old) {
  sigset_t ends;
  sigemptyset(&ends);
  for (int sig : endsignals)
    sigaddset(&ends, sig);
  sigprocmask(SIG_BLOCK, &ends, old);
}

static void restoreendsignals(tmpcopy* tf) {
  removeonsignal = 0;
  if (!tf->caught)
    return;
  tf->caught = false;
  for (int s = 0; s < nendsignals; ++s)
    sigaction(endsignals[s], &tf->before[s], nullptr);
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

int tmpcreate(const diag& dg, tmpcopy* tf) {
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
  textflush(&tf->out);
  // No signal may come between the file getting a name and its rename, so
  // that nothing but the finished name is ever left behind.
  sigset_t old;
  holdendsignals(&old);
  bool named = tf->named || linkunnamed(tf);
  bool inplace = named && rename(tf->ownname, tmpname) == 0;
  if (named && !inplace)
    unlink(tf->ownname);
  restoreendsignals(tf);
  sigprocmask(SIG_SETMASK, &old, nullptr);
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
  textinopen(&tf->in, tf->fd);
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
