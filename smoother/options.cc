#include "smoother/options.h"

#include "smoother/numbers.h"

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

request readoptions(int argc, char* const* argv, options* opt,
                    std::string_view* bad) {
  // The integer options, each with the last argument that set it, which
  // names the value if it is judged out of range after all the arguments.
  std::string_view lastoutopt, lastmissing, lastcrlf, unjudged;
  const struct {
    std::string_view prefix;
    int* value;
    std::string_view* last;
  } integers[] = {{"-smoothfunc=", &opt->smoothfunc, &unjudged},
                  {"-outopt=", &opt->outopt, &lastoutopt},
                  {"-winsize=", &opt->winsize, &unjudged},
                  {"-missing=", &opt->missing, &lastmissing},
                  {"-crlf=", &opt->crlf, &lastcrlf}};
  for (int a = 0; a < argc; ++a) {
    std::string_view arg = argv[a];
    if (arg == "-h" || arg == "-help" || arg == "--help")
      return request::help;
    if (arg == "--version")
      return request::version;
    bool valid = false;
    if (arg.starts_with("-stddev="))
      valid = setnumber(arg.substr(8), &opt->stddev);
    for (const auto& option : integers)
      if (arg.starts_with(option.prefix)) {
        valid = setint(arg.substr(option.prefix.size()), option.value);
        *option.last = arg;
      }
    if (!valid) {
      *bad = arg;
      return request::invalid;
    }
  }
  // The writer knows only these three layouts of inserted columns.
  if (opt->outopt < 0 || opt->outopt > 2)
    *bad = lastoutopt;
  else if (opt->missing != 0 && opt->missing != 1)
    *bad = lastmissing;
  else if (opt->crlf != 0 && opt->crlf != 1)
    *bad = lastcrlf;
  else
    return request::run;
  return request::invalid;
}

bool crlfof(int argc, char* const* argv) {
  bool crlf = true;
  for (int a = 0; a < argc; ++a) {
    std::string_view arg = argv[a];
    int value;
    if (arg.starts_with("-crlf=") && setint(arg.substr(6), &value) &&
        (value == 0 || value == 1))
      crlf = value == 1;
  }
  return crlf;
}

std::string_view programname(int argc, char** argv) {
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

void usage(const diag& dg, std::string_view bad) {
  say(dg, {"Invalid argument '", bad, "'"});
  usageline(dg.progname, dg.err);
}

void help(std::string_view progname, textout* out) {
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
      "  -crlf=N        line ends written: 0 LF, 1 CR LF (default 1)\n"
      "  -h, --help     this help; --version: the version\n"
      "The full reference: man quorvel\n";
  usageline(progname, out);
  textwrite(out, text, sizeof text - 1);
}

void version(textout* out) {
  static const char text[] = "quorvel " QUORVEL_VERSION "\n";
  textwrite(out, text, sizeof text - 1);
}
