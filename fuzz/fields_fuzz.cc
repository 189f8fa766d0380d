// Line pieces and field splitting over arbitrary bytes read from a file:
// the pieces put back together are the translated input, each is cut where
// the piece rules say, and the fields of each are exactly its tab-separated
// text up to field 131.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "fuzz/reference.h"
#include "smoother/reader.h"
#include "textio/textio.h"

static int datafd = -1;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/fields_fuzz.XXXXXX";
  datafd = mkstemp(name);
  if (datafd < 0)
    std::abort();
  unlink(name);
  return 0;
}

static void checkfields(std::string_view piece) {
  // Exactly maxfields slots, so that a store past them is caught.
  std::vector<std::string_view> fields(maxfields);
  int n = splitfields(piece, fields.data());
  std::vector<std::string_view> want = allfields(piece);
  if (want.size() > static_cast<std::size_t>(maxfields))
    want.resize(maxfields);
  FUZZCHECK(n == static_cast<int>(want.size()));
  for (int i = 0; i < n; ++i) {
    // Views into the piece itself, at the same place as the reference's.
    FUZZCHECK(fields[i].data() == want[i].data());
    FUZZCHECK(fields[i].size() == want[i].size());
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (ftruncate(datafd, 0) != 0 ||
      pwrite(datafd, data, size, 0) != static_cast<ssize_t>(size) ||
      lseek(datafd, 0, SEEK_SET) != 0)
    std::abort();
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::string text = translated(raw);
  std::vector<std::string_view> want = pieces(text);

  static textin in;
  textinopen(&in, datafd);
  // Exactly maxpiece bytes, so that a store past them is caught.
  std::vector<char> piece(maxpiece);
  std::size_t at = 0;
  for (;;) {
    long len = readpiece(&in, piece.data());
    FUZZCHECK(len >= 0);
    if (len == 0)
      break;
    std::string_view got(piece.data(), static_cast<std::size_t>(len));
    FUZZCHECK(at < want.size() && got == want[at]);
    checkfields(got);
    ++at;
  }
  FUZZCHECK(at == want.size());
  return 0;
}
