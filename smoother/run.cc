#include "smoother/run.h"

#include <csignal>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "smoother/input.h"
#include "smoother/memory.h"
#include "smoother/messages.h"
#include "smoother/options.h"
#include "smoother/pass2.h"
#include "smoother/progress.h"
#include "smoother/reader.h"
#include "smoother/smoothing.h"
#include "smoother/tmpcopy.h"
#include "smoother/windows.h"
#include "textio/textio.h"

// The streams and files of one run, and the table pass 1 keeps: on the
// heap, as their blocks would crowd a small stack.
struct runstate {
  textout out;
  owned<unsigned char> outblock;
  textout err;
  progress shown;
  outwatch watch;
  input in;
  tmpcopy tf;
  table tab;
};

// Pass 1, the check of the function, and pass 2. Returns 0, or -1 after
// writing a message.
static int smoothtable(const diag& dg, const options& opt, runstate* rs) {
  // The input is opened before the intermediate file is looked at, so
  // that naming the intermediate file itself reads the earlier copy.
  if (inputopen(dg, opt.input, &rs->in) < 0)
    return -1;
  rs->shown.inputsize = inputsize(rs->in);
  // Pass 1 writes its copy on a thread of its own where the run may keep
  // two busy.
  if (tmpcreate(dg, &rs->tf, threadsallowed(opt) > 1) < 0)
    return -1;
  if (readtable(dg, opt, &rs->in, &rs->tf.out, &rs->tab, &rs->watch) < 0) {
    tmpputinplace(dg, &rs->tf, false);
    return -1;
  }
  if (tmpputinplace(dg, &rs->tf, true) < 0)
    return -1;
  // A reader gone during pass 1 ends the run there, silently.
  if (outgone(&rs->watch)) {
    rs->out.gone = true;
    return 0;
  }
  // The function is checked once the whole input is read, and only for a
  // table that has something to smooth.
  if (rs->tab.lay.nLR > 0 && !findshape(opt.smoothfunc)) {
    say(dg, {"Unknown smoothing function ", decimal(opt.smoothfunc)});
    return -1;
  }
  if (tmpreadback(dg, &rs->tf) < 0)
    return -1;
  return writetable(dg, opt, rs->tab, rs->tf.fd, &rs->out, &rs->watch);
}

// What the command line asks for. Returns the run's exit status.
static int dorequest(const diag& dg, request asked, std::string_view bad,
                     const options& opt, runstate* rs) {
  switch (asked) {
    case request::help:
      help(dg.progname, &rs->out);
      return 0;
    case request::version:
      version(&rs->out);
      return 0;
    case request::invalid:
      usage(dg, bad);
      return -1;
    case request::run:
      break;
  }
  return smoothtable(dg, opt, rs);
}

// The output's blocks, counted before the line ends become CR LF, where
// no one can tell their size.
constexpr std::size_t outputblock = 64 << 10;

// True when fd is a regular file, and other is not the same file.
static bool ownfile(int fd, int other) {
  struct stat st;
  struct stat otherst;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
         (fstat(other, &otherst) != 0 || otherst.st_dev != st.st_dev ||
          otherst.st_ino != st.st_ino);
}

int quorvel(int argc, char** argv) {
  // A reader that goes away, or an output that reaches the file size
  // limit, shows as a failed write, which the run handles; the signals
  // would end it with no message.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  options opt;
  std::string_view bad;
  const request asked =
      argc < 1 ? request::run : readoptions(argc - 1, argv + 1, &opt, &bad);
  const std::string_view progname = programname(argc, argv);
  std::unique_ptr<runstate> rs = create<runstate>();
  if (!rs) {
    // Without the streams' blocks the message goes out as it is.
    const std::string_view parts[] = {
        progname, ": Unable to allocate memory for the streams",
        opt.crlf == 1 ? "\r\n" : "\n"};
    for (std::string_view part : parts)
      if (write(STDERR_FILENO, part.data(), part.size()) < 0)
        break;
    return -1;
  }
  textoutopen(&rs->out, STDOUT_FILENO);
  textoutopen(&rs->err, STDERR_FILENO);
  // Output to a file of its own goes out in large blocks, which take
  // fewer writes. Where standard error is that same file, or a pipe or
  // terminal may show when each block comes, the blocks keep their size,
  // so that messages and rows interleave as they always have.
  if (ownfile(STDOUT_FILENO, STDERR_FILENO) &&
      (rs->outblock = allocate<unsigned char>(2 * outputblock)))
    textoutblock(&rs->out, rs->outblock.get(), outputblock);
  outwatchopen(&rs->watch, STDOUT_FILENO);
  rs->out.crlf = rs->err.crlf = opt.crlf == 1;
  progressstart(&rs->shown, &rs->err, rs->out);
  diag dg{progname, &rs->err, &rs->shown};
  int status = dorequest(dg, asked, bad, opt, rs.get());
  textflush(&rs->out);
  if (status == 0 && rs->out.failed) {
    say(dg, {"Error writing standard output"});
    status = -1;
  }
  progresserase(&rs->shown);
  textflush(&rs->err);
  tmpclose(&rs->tf);
  return status;
}
