#include "smoother/options.h"

#include <climits>

#include "smoother/numbers.h"
#include "smoother/windows.h"

namespace {

// An integer option: its prefix, where its value goes, and the range a
// run accepts, judged after all the arguments in the order of the table.
struct intoption {
  std::string_view prefix;
  int options::*value;
  int least;
  int most;
};

const intoption intoptions[] = {
    {"-smoothfunc=", &options::smoothfunc, INT_MIN, INT_MAX},
    {"-winsize=", &options::winsize, INT_MIN, INT_MAX},
    // The writer knows only these three layouts of inserted columns.
    {"-outopt=", &options::outopt, 0, 2},
    {"-missing=", &options::missing, 0, 1},
    {"-crlf=", &options::crlf, 0, 1},
    {"-series=", &options::series, 0, 1},
    {"-strict=", &options::strict, 0, 1},
    {"-threads=", &options::threads, 0, INT_MAX},
};
constexpr int nintoptions = sizeof intoptions / sizeof intoptions[0];

}  // namespace

// An option's value: empty (which gives 0) or wholly one number. Anything
// else would be read only in part, or not at all, without a word.
static bool setint(std::string_view text, int* value) {
  bool whole;
  *value = readint(text, &whole);
  return whole || text.empty();
}

static bool setnumber(std::string_view text, double* value) {
  bool whole;
  *value = readnumber(text, &whole);
  return whole || text.empty();
}

request readoptions(int argc, char* const* argv, options* opt,
                    std::string_view* bad) {
  request asked = request::run;
  options set = *opt;  // every value as the arguments set it
  std::string_view last[nintoptions];  // the argument that set each
  bool input = false;
  for (int a = 0; a < argc; ++a) {
    const std::string_view arg = argv[a];
    bool valid = false;
    if (arg == "-h" || arg == "-help" || arg == "--help") {
      asked = asked == request::run ? request::help : asked;
      continue;
    }
    if (arg == "--version") {
      asked = asked == request::run ? request::version : asked;
      continue;
    }
    // An option may be written with two dashes; the message names the
    // argument as it was given.
    const std::string_view option =
        arg.starts_with("--") ? arg.substr(1) : arg;
    if (arg == "-" || (!arg.empty() && arg[0] != '-')) {
      valid = !input;
      input = true;
      set.input = arg == "-" ? std::string_view() : arg;
    }
    if (option.starts_with("-stddev="))
      valid = setnumber(option.substr(8), &set.stddev);
    for (int o = 0; o < nintoptions; ++o) {
      const intoption& io = intoptions[o];
      if (!option.starts_with(io.prefix))
        continue;
      valid = setint(option.substr(io.prefix.size()), &(set.*io.value));
      last[o] = arg;
      // Line ends hold wherever they stand, even for the messages about
      // the arguments: only a value the run accepts counts.
      if (valid && io.value == &options::crlf && set.crlf >= 0 &&
          set.crlf <= 1)
        opt->crlf = set.crlf;
    }
    if (!valid && asked == request::run) {
      *bad = arg;
      asked = request::invalid;
    }
  }
  if (asked != request::run)
    return asked;
  for (int o = 0; o < nintoptions; ++o) {
    const intoption& io = intoptions[o];
    if (set.*io.value < io.least || set.*io.value > io.most) {
      *bad = last[o];
      return request::invalid;
    }
  }
  const int crlf = opt->crlf;
  *opt = set;
  opt->crlf = crlf;
  return request::run;
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

// Writes "N name" for every smoothing function, wrapped as the rest of
// the help.
static void helpfunctions(textout* out) {
  constexpr std::size_t indent = 17;
  constexpr std::size_t width = 72;
  static const char lead[] = "  -smoothfunc=N  ";
  textwrite(out, lead, sizeof lead - 1);
  std::size_t column = indent;
  for (int f = 0; f < nshapes; ++f) {
    char item[64];
    std::size_t size = 0;
    auto add = [&](std::string_view text) {
      for (char c : text)
        if (size < sizeof item)
          item[size++] = c;
    };
    add(decimal(shapes[f].smoothfunc));
    add(" ");
    add(shapes[f].name);
    add(f + 1 < nshapes ? "," : " (default 0)");
    const std::size_t space = f > 0;
    if (column + space + size > width) {
      textwrite(out, "\n", 1);
      for (std::size_t c = 0; c < indent; ++c)
        textwrite(out, " ", 1);
      column = indent;
    } else if (space) {
      textwrite(out, " ", 1);
      column += 1;
    }
    textwrite(out, item, size);
    column += size;
  }
  textwrite(out, "\n", 1);
}

void help(std::string_view progname, textout* out) {
  static const char head[] =
      "Smooths each data column of a tab-separated table read from FILE, or"
      " from\n"
      "standard input without FILE or with -; gzip input is decompressed.\n";
  static const char rest[] =
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
      "  -series=N      1: no window reaches across a change of field 1"
      " (default 0)\n"
      "  -strict=N      1: a line that would be read silently otherwise"
      " stops the\n"
      "                 run with a message (default 0)\n"
      "  -threads=N     at most N smoothing threads; 0: every core"
      " (default 0)\n"
      "  --name=value   the same as -name=value, for each option\n"
      "  -h, --help     this help; --version: the version\n"
      "The full reference: man quorvel\n";
  usageline(progname, out);
  textwrite(out, head, sizeof head - 1);
  helpfunctions(out);
  textwrite(out, rest, sizeof rest - 1);
}

void version(textout* out) {
  static const char text[] = "quorvel " QUORVEL_VERSION "\n";
  textwrite(out, text, sizeof text - 1);
}
