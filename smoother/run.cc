#include "smoother/run.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <limits>
#include <string_view>

#include <unistd.h>

#include "smoother/messages.h"
#include "smoother/numbers.h"
#include "smoother/reader.h"
#include "smoother/smoothers.h"
#include "smoother/tmpcopy.h"
#include "smoother/writer.h"
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

static double* reserve(std::size_t n) {
  return static_cast<double*>(std::malloc(n * sizeof(double)));
}

// Reserves the output arrays of every data column and fills them. Copying
// (function 0) prints each value as read, and its error from the error
// column: those arrays serve as the output arrays, and only a column whose
// errors must be made (from stddev, or nan for a missing value) gets an
// array of its own. Returns 0, or -1 after writing its message.
static int filloutputs(const diag& dg, const options& opt, table* tab) {
  // Zero rows still get a block, so that a reservation never looks failed.
  std::size_t n = tab->nrows > 0 ? static_cast<std::size_t>(tab->nrows) : 1;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const bool copy = opt.smoothfunc == 0;
  for (int k = 0; k < tab->nLR; ++k) {
    const double* LR = tab->LR[k];
    const bool ownerrors = !copy || !tab->dLR[k] ||
                           std::any_of(LR, LR + tab->nrows,
                                       [](double v) { return std::isnan(v); });
    tab->LRout[k] = copy ? tab->LR[k] : reserve(n);
    tab->dLRout[k] = ownerrors ? reserve(n) : tab->dLR[k];
    if (!tab->LRout[k] || !tab->dLRout[k]) {
      say(dg, {"Unable to allocate memory for dLRout[", decimal(k), "]"});
      return -1;
    }
    // The function is checked once the first column's arrays are had.
    if (k == 0 && (opt.smoothfunc < 0 || opt.smoothfunc > 5)) {
      say(dg, {"Unknown smoothing function ", decimal(opt.smoothfunc)});
      return -1;
    }
    // A missing value has no error either.
    for (int r = 0; copy && ownerrors && r < tab->nrows; ++r)
      tab->dLRout[k][r] = std::isnan(LR[r])  ? nan
                          : tab->dLR[k] ? tab->dLR[k][r]
                                        : opt.stddev;
  }
  return 0;
}

// Pass 1, smoothing and pass 2. Returns 0, or -1 after writing a message.
static int smoothrun(const diag& dg, const options& opt, table* tab,
                     textout* out) {
  static tmpcopy tf;
  if (tmpcreate(dg, &tf) < 0)
    return -1;
  static textin in;
  textinopen(&in, STDIN_FILENO);
  if (readtable(dg, opt, &in, &tf.out, tab) < 0) {
    tmpputinplace(dg, &tf, false);
    return -1;
  }
  if (tmpputinplace(dg, &tf, true) < 0 || filloutputs(dg, opt, tab) < 0)
    return -1;
  // The window smoothers work on all columns at once, and pass 2 writes
  // each row as soon as it is smoothed.
  if (smoothstart(dg, opt, tab) < 0)
    return -1;
  int status = tmpreadback(dg, &tf) < 0
                   ? -1
                   : writetable(dg, opt, *tab, &tf.in, out);
  smoothend();
  return status;
}

static int run(const diag& dg, int argc, char** argv, table* tab,
               textout* out) {
  options opt;
  switch (readoptions(argc - 1, argv + 1, &opt)) {
    case request::help:
      help(dg.progname, out);
      return 0;
    case request::version:
      version(out);
      return 0;
    case request::usage:
      usageline(dg.progname, dg.err);
      return -1;
    case request::run:
      break;
  }
  return smoothrun(dg, opt, tab, out);
}

int quorvel(int argc, char** argv, table* tab) {
  // A reader that goes away, or an output that reaches the file size
  // limit, shows as a failed write, which the run handles; the signals
  // would end it with no message.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  static textout out;
  static textout err;
  textoutopen(&out, STDOUT_FILENO);
  textoutopen(&err, STDERR_FILENO);
  diag dg{programname(argc, argv), &err};
  int status = run(dg, argc, argv, tab, &out);
  textflush(&out);
  if (status == 0 && out.failed) {
    say(dg, {"Error writing standard output"});
    status = -1;
  }
  textflush(&err);
  return status;
}
