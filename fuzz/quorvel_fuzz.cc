// Whole quorvel runs. The first line of an input holds the arguments,
// separated by spaces; the rest is standard input. The run happens in this
// process, in a scratch directory, with its standard streams on scratch
// files. Every run ends with status 0 or -1 and ends each message line
// with CR LF. After -1 nothing is on standard output and the last message
// is one that ends a run. After 0 the intermediate file holds the header
// and every accepted line, and standard output has one line for each of
// them, in order, beginning with its fields 0 to 3.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include "smoother/run.h"

static int reportfd = 2;
#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      dprintf(reportfd, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                        \
    }                                                                      \
  } while (0)

static char scratch[] = "/tmp/quorvel_fuzz.XXXXXX";
static const char* const names[] = {"in", "out", "err", "quorveltmp.txt"};
static int streams[3];
static int saved[3];
static table tab;

static void removescratch() {
  for (const char* name : names)
    unlink(name);
  rmdir(scratch);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!mkdtemp(scratch) || chdir(scratch) != 0)
    std::abort();
  std::atexit(removescratch);
  for (int i = 0; i < 3; ++i) {
    streams[i] = open(names[i], O_RDWR | O_CREAT | O_TRUNC, 0600);
    saved[i] = fcntl(i, F_DUPFD_CLOEXEC, 10);
  }
  // Reports must reach the real standard error, not the run's.
  reportfd = saved[2];
  __sanitizer_set_report_fd(
      reinterpret_cast<void*>(static_cast<std::intptr_t>(reportfd)));
  return 0;
}

static std::string contents(const char* name) {
  std::string all;
  if (FILE* f = std::fopen(name, "rb")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
      all.append(buf, n);
    std::fclose(f);
  }
  return all;
}

// Runs quorvel with args on input. The run keeps its intermediate file
// open to the end of its process, and its table store's heap blocks; both
// must go before the next run.
static int runquorvel(std::vector<std::string>& args, std::string_view input) {
  unlink(names[3]);
  for (int i = 0; i < 3; ++i)
    if (ftruncate(streams[i], 0) != 0 || lseek(streams[i], 0, SEEK_SET) != 0)
      std::abort();
  if (pwrite(streams[0], input.data(), input.size(), 0) !=
      static_cast<ssize_t>(input.size()))
    std::abort();
  int firstfree = dup(0);
  close(firstfree);
  for (int i = 0; i < 3; ++i)
    dup2(streams[i], i);
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  int status = quorvel(static_cast<int>(args.size()), argv.data(), &tab);
  for (int i = 0; i < 3; ++i)
    dup2(saved[i], i);
  for (int fd = firstfree; fd < 10; ++fd)
    close(fd);
  for (int k = 0; k < maxcols; ++k)
    for (double* block : {tab.LR[k], tab.dLR[k], tab.LRout[k], tab.dLRout[k]})
      std::free(block);
  std::memset(&tab, 0, sizeof tab);
  return status;
}

// The lines pass 1 accepts from raw input, each with its LF if it has one:
// the header and every later line whose first byte is not white space.
static std::vector<std::string> accepted(std::string_view raw) {
  raw = raw.substr(0, raw.find('\x1a'));
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i)
    if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n'))
      text.push_back(raw[i]);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
    if (lines.empty() ||
        std::string_view(" \t\n\v\f\r").find(text[at]) == std::string::npos)
      lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

static std::string crlf(std::string_view text) {
  std::string out;
  for (char c : text)
    out.append(c == '\n' ? "\r\n" : std::string(1, c));
  return out;
}

// Fields 0 to 3 of a line, as the output line begins.
static std::string front(std::string_view line) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  std::size_t end = 0;
  for (int tabs = 0; end < line.size(); ++end)
    if (line[end] == '\t' && ++tabs == 4)
      break;
  return std::string(line.substr(0, end));
}

static bool endsrun(std::string_view err) {
  static const char* const fatal[] = {
      "Usage: ", "Can't open ", "Unable to allocate ", "Unknown smoothing",
      "Too many data columns", "Error ", "More than ", "Input line "};
  std::size_t start = err.rfind("\r\n", err.size() - 3);
  std::string_view last =
      err.substr(start == std::string_view::npos ? 0 : start + 2);
  if (last.starts_with("quorvel: "))
    last.remove_prefix(9);
  for (const char* message : fatal)
    if (last.starts_with(message))
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
  for (std::string_view argline = all.substr(0, lineend);
       !argline.empty() && args.size() < 6;) {
    std::size_t space = std::min(argline.find(' '), argline.size());
    args.emplace_back(argline.substr(0, space));
    argline.remove_prefix(std::min(space + 1, argline.size()));
  }
  std::string_view input = all.substr(lineend + 1);
  int status = runquorvel(args, input);
  std::string out = contents(names[1]);
  std::string err = contents(names[2]);
  CHECK(status == 0 || status == -1);
  CHECK(err.empty() || err.ends_with("\r\n"));
  if (status != 0) {
    CHECK(out.empty() && endsrun(err));
    return 0;
  }
  if (out.starts_with("Usage: ") || out.starts_with("quorvel "))
    return 0;  // help or version: the input is not read
  std::vector<std::string> lines = accepted(input);
  std::string copy;
  for (const std::string& line : lines)
    copy += line;
  CHECK(contents(names[3]) == crlf(copy));
  std::size_t at = 0;
  for (const std::string& line : lines) {
    std::size_t lf = out.find("\r\n", at);
    CHECK(lf != std::string::npos);
    CHECK(std::string_view(out).substr(at, lf - at).starts_with(front(line)));
    at = lf + 2;
  }
  CHECK(at == out.size());
  return 0;
}
