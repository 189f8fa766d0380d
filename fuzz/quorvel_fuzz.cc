// Whole quorvel runs. Input layout: the first line holds the arguments,
// separated by spaces; the rest is standard input. The run happens in this
// process, in a scratch directory, with its standard streams on scratch
// files, and must end with status 0 or -1. After 0, the intermediate file
// holds the header and every accepted line, and standard output has one
// line per piece that has a field, in order, made of that piece's fields 0
// to 3 as written and perhaps more. After -1, nothing is on standard output
// and the last message is one that ends a run.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz/reference.h"

// The run itself, compiled into this target so that the table store, a
// static of the run, can be emptied between runs.
#include "smoother/main.cc"

static int infd = -1;
static int outfd = -1;
static int errfd = -1;
static int saved[3] = {-1, -1, -1};

static int scratchfile(const char* name) {
  int fd = open(name, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0)
    std::abort();
  return fd;
}

static char scratch[] = "/tmp/quorvel_fuzz.XXXXXX";

// Leaves nothing behind when the fuzzer ends after its time.
static void removescratch() {
  for (const char* name : {"stdin", "stdout", "stderr", "quorveltmp.txt"})
    unlink(name);
  rmdir(scratch);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!mkdtemp(scratch) || chdir(scratch) != 0)
    std::abort();
  std::atexit(removescratch);
  infd = scratchfile("stdin");
  outfd = scratchfile("stdout");
  errfd = scratchfile("stderr");
  // Reports must reach the real standard error, not the run's.
  fuzzreportfd = fcntl(2, F_DUPFD_CLOEXEC, 3);
  __sanitizer_set_report_fd(
      reinterpret_cast<void*>(static_cast<std::intptr_t>(fuzzreportfd)));
  return 0;
}

static std::string contents(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    std::abort();
  std::string all(static_cast<std::size_t>(st.st_size), '\0');
  if (pread(fd, all.data(), all.size(), 0) !=
      static_cast<ssize_t>(all.size()))
    std::abort();
  return all;
}

static void reset(int fd) {
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
    std::abort();
}

// Runs quorvel with args and input on its standard streams; returns the
// status and leaves its output in outfd and errfd.
static int runquorvel(std::vector<std::string>& args, std::string_view input) {
  reset(infd);
  reset(outfd);
  reset(errfd);
  if (pwrite(infd, input.data(), input.size(), 0) !=
      static_cast<ssize_t>(input.size()))
    std::abort();
  // The lowest free descriptor: the run leaves the one that holds its lock
  // on the intermediate file open, and it must go before the next run.
  int firstfree = dup(0);
  close(firstfree);
  for (int i = 0; i < 3; ++i) {
    if (saved[i] < 0)
      saved[i] = fcntl(i, F_DUPFD_CLOEXEC, 3);
    dup2(i == 0 ? infd : i == 1 ? outfd : errfd, i);
  }
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  int status = quorvel(static_cast<int>(args.size()), argv.data());
  for (int i = 0; i < 3; ++i)
    dup2(saved[i], i);
  for (int fd = firstfree; fd < firstfree + 8; ++fd)
    if (fd != saved[0] && fd != saved[1] && fd != saved[2])
      close(fd);
  // The table store starts empty in every process; so it must here.
  for (int k = 0; k < maxcols; ++k) {
    std::free(tab.LR[k]);
    std::free(tab.dLR[k]);
    std::free(tab.LRout[k]);
    std::free(tab.dLRout[k]);
  }
  std::memset(&tab, 0, sizeof tab);
  return status;
}

// Whether the last line of err is one of the messages that end a run.
static bool endsfatal(std::string_view err) {
  static const char* const fatal[] = {
      "Usage: quorvel ",
      "quorvel: Can't open ",
      "quorvel: Unable to allocate memory for ",
      "quorvel: Unknown smoothing function ",
      "quorvel: Too many data columns",
      "quorvel: Error reading ",
      "quorvel: Error writing ",
  };
  if (!err.ends_with("\r\n"))
    return false;
  err.remove_suffix(2);
  std::size_t start = err.rfind("\r\n");
  if (start != std::string_view::npos)
    err.remove_prefix(start + 2);
  for (const char* message : fatal)
    if (err.starts_with(message))
      return true;
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::size_t lineend = all.find('\n');
  if (lineend == std::string_view::npos)
    return 0;
  std::vector<std::string> args{"quorvel"};
  std::string_view argline = all.substr(0, lineend);
  while (!argline.empty() && args.size() < 6) {
    std::size_t space = argline.find(' ');
    args.emplace_back(argline.substr(0, space));
    argline.remove_prefix(space == std::string_view::npos ? argline.size()
                                                          : space + 1);
  }
  std::string_view input = all.substr(lineend + 1);

  int status = runquorvel(args, input);
  FUZZCHECK(status == 0 || status == -1);
  std::string out = contents(outfd);
  std::string err = contents(errfd);
  FUZZCHECK(err.empty() || err.ends_with("\r\n"));
  if (status != 0) {
    FUZZCHECK(out.empty());
    FUZZCHECK(endsfatal(err));
    return 0;
  }

  // The lines pass 1 takes: the header and, of at most 50000 after it,
  // those whose first byte is not white space.
  std::string text = translated(input);
  std::vector<std::string_view> everypiece = pieces(text);
  std::vector<std::string_view> kept;
  for (std::size_t i = 0; i < everypiece.size() && i <= 50000; ++i) {
    if (i == 0 || !isspace6(static_cast<unsigned char>(everypiece[i][0])))
      kept.push_back(everypiece[i]);
  }
  std::string copy;
  for (std::string_view piece : kept)
    copy += piece;
  int tmpfd = open(tmpname, O_RDONLY);
  FUZZCHECK(tmpfd >= 0);
  FUZZCHECK(contents(tmpfd) == crlf(copy));
  close(tmpfd);

  // Every output line ends with CR LF, and a piece with no field at all
  // gives none.
  std::vector<std::string_view> lines;
  std::string_view rest(out);
  while (!rest.empty()) {
    std::size_t lf = rest.find('\n');
    FUZZCHECK(lf != std::string_view::npos && lf > 0 && rest[lf - 1] == '\r');
    lines.push_back(rest.substr(0, lf - 1));
    rest.remove_prefix(lf + 1);
  }
  std::size_t at = 0;
  for (std::string_view piece : kept) {
    std::vector<std::string_view> fields = allfields(piece);
    if (fields.empty())
      continue;
    std::string front;
    for (std::size_t i = 0; i < fields.size() && i < 4; ++i)
      front.append(i ? "\t" : "").append(fields[i]);
    FUZZCHECK(at < lines.size());
    std::string_view line = lines[at++];
    // Fields from 4 on may be left out, when no data column expects them.
    FUZZCHECK(line == front || (fields.size() > 4 &&
                                line.starts_with(front + "\t")));
  }
  FUZZCHECK(at == lines.size());
  return 0;
}
