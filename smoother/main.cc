#include "smoother/main.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "smoother/messages.h"
#include "smoother/numbers.h"
#include "smoother/reader.h"
#include "smoother/smoothers.h"
#include "smoother/writer.h"
#include "textio/textio.h"

int readoptions(int argc, char* const* argv, options* opt) {
  for (int a = 0; a < argc; ++a) {
    std::string_view arg = argv[a];
    if (arg == "-h" || arg == "-help" || arg == "--help")
      return -1;
    if (arg.starts_with("-smoothfunc="))
      opt->smoothfunc = readint(arg.substr(12));
    else if (arg.starts_with("-outopt="))
      opt->outopt = readint(arg.substr(8));
    else if (arg.starts_with("-winsize="))
      opt->winsize = readint(arg.substr(9));
    else if (arg.starts_with("-stddev="))
      opt->stddev = readnumber(arg.substr(8));
  }
  // The writer knows only these three layouts of inserted columns.
  return (opt->outopt >= 0 && opt->outopt <= 2) ? 0 : -1;
}

// The name messages begin with: the program as invoked, without quotes.
static std::string_view programname(int argc, char** argv) {
  if (argc < 1 || !argv[0] || !argv[0][0])
    return "quorvel";
  std::string_view name = argv[0];
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
    name = name.substr(1, name.size() - 2);
  return name;
}

static void usage(const diag& dg) {
  static const char rest[] =
      " -smoothfunc <smooth type> -outopt <output option>"
      " -winsize <window width> -stddev <LR s.d.>\n";
  textwrite(dg.err, "Usage: ", 7);
  textwrite(dg.err, dg.progname.data(), dg.progname.size());
  textwrite(dg.err, rest, sizeof rest - 1);
  textendcall(dg.err);
}

// Reserves the output arrays of every data column and fills them. Returns
// 0, or -1 after writing its message.
static int filloutputs(const diag& dg, const options& opt, table* tab) {
  // Zero rows still get a block, so that a reservation never looks failed.
  std::size_t n = tab->nrows > 0 ? static_cast<std::size_t>(tab->nrows) : 1;
  for (int k = 0; k < tab->nLR; ++k) {
    tab->LRout[k] = static_cast<double*>(std::malloc(n * sizeof(double)));
    tab->dLRout[k] = static_cast<double*>(std::malloc(n * sizeof(double)));
    if (!tab->LRout[k] || !tab->dLRout[k]) {
      say(dg, {"Unable to allocate memory for dLRout[", decimal(k), "]"});
      return -1;
    }
    // The function is checked once the first column's arrays are had.
    if (k == 0 && (opt.smoothfunc < 0 || opt.smoothfunc > 5)) {
      say(dg, {"Unknown smoothing function ", decimal(opt.smoothfunc)});
      return -1;
    }
    if (opt.smoothfunc == 0) {
      for (int r = 0; r < tab->nrows; ++r) {
        tab->LRout[k][r] = tab->LR[k][r];
        tab->dLRout[k][r] = tab->dLR[k] ? tab->dLR[k][r] : opt.stddev;
      }
    }
  }
  // The window smoothers work on all columns at once.
  smoothtable(opt, tab);
  return 0;
}

// Creates the intermediate file for pass 1, takes it for this run, and
// returns the descriptor to write it through, or -1 after writing the
// message.
static int opentmp(const diag& dg) {
  // Not emptied on opening: until the lock is ours, the file may still be
  // another run's, which that run is reading back.
  int fd = open(tmpname, O_WRONLY | O_CREAT, 0666);
  // Both descriptors are kept above the standard streams: with one of them
  // closed, the file would take its number, and messages or output meant
  // for that stream would land in the file.
  int held = fd < 0 ? -1 : fcntl(fd, F_DUPFD, 3);
  int tmpfd = held < 0 ? -1 : fcntl(fd, F_DUPFD, 3);
  if (fd >= 0)
    close(fd);
  if (tmpfd < 0) {
    say(dg, {"Can't open ", tmpname, " for writing"});
    return -1;
  }
  // Runs in one directory take turns with the file. The lock belongs to
  // the open file, which held keeps open until the process ends, so it
  // lasts through pass 2 although pass 1 closes tmpfd. Where the file
  // system has no locks, the run goes on unguarded, as it always did.
  while (flock(held, LOCK_EX) < 0 && errno == EINTR) {
  }
  // A FIFO or a device under the name cannot be emptied, nor needs to be.
  if (ftruncate(tmpfd, 0) < 0 && errno != EINVAL) {
    say(dg, {"Can't open ", tmpname, " for writing"});
    return -1;
  }
  return tmpfd;
}

// The table store lives for the whole run; its heap blocks are never freed.
static table tab;

static int run(const diag& dg, int argc, char** argv, textout* out) {
  options opt;
  if (readoptions(argc - 1, argv + 1, &opt) < 0) {
    usage(dg);
    return -1;
  }
  int fd = opentmp(dg);
  if (fd < 0)
    return -1;
  static textout tmpout;
  textoutopen(&tmpout, fd);
  static textin in;
  textinopen(&in, 0);
  if (readtable(dg, &in, &tmpout, &tab) < 0)
    return -1;
  if (filloutputs(dg, opt, &tab) < 0)
    return -1;
  fd = open(tmpname, O_RDONLY);
  if (fd < 0) {
    say(dg, {"Can't open ", tmpname, " for reading"});
    return -1;
  }
  static textin tmpin;
  textinopen(&tmpin, fd);
  int status = writetable(dg, opt, tab, &tmpin, out);
  close(fd);
  return status;
}

int quorvel(int argc, char** argv) {
  // A reader that goes away early must not end the run by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  static textout out;
  static textout err;
  textoutopen(&out, 1);
  textoutopen(&err, 2);
  diag dg{programname(argc, argv), &err};
  int status = run(dg, argc, argv, &out);
  textflush(&out);
  textflush(&err);
  return status;
}
