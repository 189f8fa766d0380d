#include "smoother/run.h"

#include <csignal>
#include <cstdlib>
#include <string_view>

#include <unistd.h>

#include "smoother/messages.h"
#include "smoother/numbers.h"
#include "smoother/readback.h"
#include "smoother/reader.h"
#include "smoother/tmpcopy.h"
#include "textio/textio.h"

// An option's value: empty (which gives 0) or wholly one number. Anything
// else would be read only in part, or not at all, without a word.
static bool setint(std::string_view text, int* value) {
  bool whole;
  int v = readint(text, &whole);
  *value = v;
  return whole || text.empty();
}

static bool setnumber(std::string_view text, double* value) {
  bool whole;
  double v = readnumber(text, &whole);
  *value = v;
  return whole || text.empty();
}

request readoptions(int argc, char* const* argv, options* opt) {
  for (int a = 0; a < argc; ++a) {
    std::string_view arg = argv[a];
    if (arg == "-h" || arg == "-help" || arg == "--help")
      return request::help;
    if (arg == "--version")
      return request::version;
    bool valid = false;
    if (arg.starts_with("-smoothfunc="))
      valid = setint(arg.substr(12), &opt->smoothfunc);
    else if (arg.starts_with("-outopt="))
      valid = setint(arg.substr(8), &opt->outopt);
    else if (arg.starts_with("-winsize="))
      valid = setint(arg.substr(9), &opt->winsize);
    else if (arg.starts_with("-stddev="))
      valid = setnumber(arg.substr(8), &opt->stddev);
    else if (arg.starts_with("-missing="))
      valid = setint(arg.substr(9), &opt->missing);
    if (!valid)
      return request::usage;
  }
  // The writer knows only these three layouts of inserted columns.
  bool known = opt->outopt >= 0 && opt->outopt <= 2 &&
               (opt->missing == 0 || opt->missing == 1);
  return known ? request::run : request::usage;
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

static void usageline(std::string_view progname, textout* to) {
  static const char rest[] =
      " -smoothfunc=<smooth type> -outopt=<output option>"
      " -winsize=<window width> -stddev=<LR s.d.>\n";
  textwrite(to, "Usage: ", 7);
  textwrite(to, progname.data(), progname.size());
  textwrite(to, rest, sizeof rest - 1);
  textendcall(to);
}

static void help(std::string_view progname, textout* out) {
  static const char text[] =
      "Smooths each data column of a tab-separated table read from standard"
      " input.\n"
      "  -smoothfunc=N  0 copy, 1 boxcar, 2 Gaussian, 3 triangle,"
      " 4 Lorentzian,\n"
      "                 5 exponential (default 0)\n"
      "  -outopt=N      inserted columns: 0 name-plotline,"
      " 1 name_smoothedN,\n"
      "                 2 name_smoothedN and name_error (default 0)\n"
      "  -winsize=N     window width in position units (default 1)\n"
      "  -stddev=X      error of a value without an error column"
      " (default 0.12)\n"
      "  -missing=N     1: leave values without digits (NA) out of the"
      " windows\n"
      "                 instead of reading them as 0 (default 0)\n"
      "  -h, --help     this help; --version: the version\n"
      "The full reference: man quorvel\n";
  usageline(progname, out);
  textwrite(out, text, sizeof text - 1);
}

static void version(textout* out) {
  static const char text[] = "quorvel " QUORVEL_VERSION "\n";
  textwrite(out, text, sizeof text - 1);
}

// The streams and files of one run, and the table pass 1 keeps.
struct runstate {
  textout out;
  textout err;
  textin in;
  tmpcopy tf;
  table tab;
};

// Pass 1, the check of the function, and pass 2. Returns 0, or -1 after
// writing a message.
static int smoothrun(const diag& dg, const options& opt, runstate* rs) {
  if (tmpcreate(dg, &rs->tf) < 0)
    return -1;
  textinopen(&rs->in, STDIN_FILENO);
  if (readtable(dg, &rs->in, &rs->tf.out, &rs->tab) < 0) {
    tmpputinplace(dg, &rs->tf, false);
    return -1;
  }
  if (tmpputinplace(dg, &rs->tf, true) < 0)
    return -1;
  // The function is checked once the whole input is read, and only for a
  // table that has something to smooth.
  if (rs->tab.lay.nLR > 0 && (opt.smoothfunc < 0 || opt.smoothfunc > 5)) {
    say(dg, {"Unknown smoothing function ", decimal(opt.smoothfunc)});
    return -1;
  }
  if (tmpreadback(dg, &rs->tf) < 0)
    return -1;
  return writetable(dg, opt, rs->tab, &rs->tf.in, &rs->out);
}

static int run(const diag& dg, int argc, char** argv, runstate* rs) {
  options opt;
  switch (readoptions(argc - 1, argv + 1, &opt)) {
    case request::help:
      help(dg.progname, &rs->out);
      return 0;
    case request::version:
      version(&rs->out);
      return 0;
    case request::usage:
      usageline(dg.progname, dg.err);
      return -1;
    case request::run:
      break;
  }
  return smoothrun(dg, opt, rs);
}

// Gives back what the table took.
static void release(table* tab) {
  for (void* block : {static_cast<void*>(tab->lay.LRcol),
                      static_cast<void*>(tab->lay.dLRcol),
                      static_cast<void*>(tab->lay.errindex),
                      static_cast<void*>(tab->lay.role),
                      static_cast<void*>(tab->pos),
                      static_cast<void*>(tab->chunks)})
    std::free(block);
}

int quorvel(int argc, char** argv) {
  // A reader that goes away, or an output that reaches the file size
  // limit, shows as a failed write, which the run handles; the signals
  // would end it with no message.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  runstate rs;
  textoutopen(&rs.out, STDOUT_FILENO);
  textoutopen(&rs.err, STDERR_FILENO);
  diag dg{programname(argc, argv), &rs.err};
  int status = run(dg, argc, argv, &rs);
  textflush(&rs.out);
  if (status == 0 && rs.out.failed) {
    say(dg, {"Error writing standard output"});
    status = -1;
  }
  textflush(&rs.err);
  tmpclose(&rs.tf);
  release(&rs.tab);
  return status;
}
