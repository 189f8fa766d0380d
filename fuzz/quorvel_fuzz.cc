// Whole quorvel runs. The first line of an input holds the arguments,
// separated by spaces; the rest is standard input, which the argument "in"
// names as a file too. The run happens in this process, in a scratch
// directory, with its standard streams on scratch files. Every run ends
// with status 0 or -1 and ends each message line with CR LF, or LF under
// -crlf=0. After -1 nothing is on standard output and the last message is
// one that ends a run (with -strict=1, any). After 0 the intermediate
// file holds the header and every accepted line, and standard output has
// one line for each of them, in order, beginning with its fields 0 to 3;
// for gzip input, whose lines the harness does not decode, only the
// status and the messages are checked.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include "smoother/options.h"
#include "smoother/run.h"

static int reportfd = 2;
static void check(bool holds, const char* what) {
  if (!holds) {
    dprintf(reportfd, "property failed: %s\n", what);
    std::abort();
  }
}
#define CHECK(cond) check(cond, #cond)

static char scratch[] = "/tmp/quorvel_fuzz.XXXXXX";
static const char* const names[] = {"in", "out", "err", "quorveltmp.txt"};
static int streams[3];
static int saved[3];

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
  std::ifstream f(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Runs quorvel with args on input, as a process would, but in this one:
// the run gives back its memory and its intermediate file's descriptor.
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
  int status = quorvel(static_cast<int>(args.size()), argv.data());
  for (int i = 0; i < 3; ++i)
    dup2(saved[i], i);
  for (int fd = firstfree; fd < 10; ++fd)
    close(fd);
  return status;
}

// The lines pass 1 accepts, each with its LF if it has one: the header and
// every later line whose first byte is not white space.
static std::vector<std::string> accepted(std::string_view raw) {
  std::string text(raw.substr(0, raw.find('\x1a')));
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;)
    text.erase(at, 1);
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; at < text.size(); at = end) {
    end = std::min(text.find('\n', at), text.size() - 1) + 1;
    if (lines.empty() || !std::memchr(" \t\n\v\f\r", text[at], 6))
      lines.push_back(text.substr(at, end - at));
  }
  return lines;
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
  // -crlf sets the line ends of both streams; the case table pins how it
  // is read.
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  options opt;
  std::string_view bad;
  readoptions(static_cast<int>(argv.size()) - 1, argv.data() + 1, &opt, &bad);
  const std::string eol = opt.crlf == 1 ? "\r\n" : "\n";
  int status = runquorvel(args, input);
  std::string out = contents(names[1]);
  std::string err = contents(names[2]);
  CHECK(status == 0 || status == -1);
  CHECK(err.empty() || err.ends_with(eol));
  std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
  if (status != 0) {
    CHECK(out.empty() && !err.empty());
    CHECK(opt.strict == 1 ||
          (last.find("ounting error") == std::string::npos &&
           last.find("Error parsing header") == std::string::npos));
    return 0;
  }
  if (input.size() >= 2 && input[0] == '\x1f' && input[1] == '\x8b')
    return 0;
  if (out.starts_with("Usage: ") || out.starts_with("quorvel "))
    return 0;  // help or version: the input is not read
  std::string copy;
  std::size_t at = 0;
  for (const std::string& line : accepted(input)) {
    copy += line;
    std::size_t tabs = 0;
    std::size_t front = 0;
    while (front < line.size() && line[front] != '\n' &&
           (line[front] != '\t' || ++tabs < 4))
      ++front;
    std::size_t lf = out.find(eol, at);
    CHECK(lf != std::string::npos &&
          out.compare(at, front, line, 0, front) == 0);
    at = lf + eol.size();
  }
  CHECK(at == out.size());
  for (std::size_t lf = 0; (lf = copy.find('\n', lf)) != std::string::npos;
       lf += 2)
    copy.insert(lf, 1, '\r');
  CHECK(contents(names[3]) == copy);
  return 0;
}
