// The libmagic call of zmfile serve's type rules on hostile bytes: the
// client chooses every byte libmagic reads. The call must not crash, hang
// or leak, its answer must be one media type ("type/subtype", no
// parameters), and the thread's one cookie must carry nothing from one
// call to the next: the same bytes give the same type again.
//
// Input: the bytes themselves (libmagic reads at most kMaxSniffBytes).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "content_sniffer.h"

namespace {

bool IsMediaType(const std::string& type) {
  const std::size_t slash = type.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == type.size()) return false;
  for (std::size_t i = 0; i < type.size(); ++i) {
    const char c = type[i];
    const bool token = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '+' || c == '.' || c == '_';
    if (!token && i != slash) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::span<const std::uint8_t> input(bytes, size);
  const std::string type = zimrax::zmfile::SniffMimeType(input);
  if (!IsMediaType(type)) {
    std::fprintf(stderr, "libmagic gave \"%s\" for %zu bytes\n", type.c_str(), size);
    std::abort();
  }
  const std::string again = zimrax::zmfile::SniffMimeType(input);
  if (again != type) {
    std::fprintf(stderr, "libmagic gave \"%s\", then \"%s\" for the same %zu bytes\n", type.c_str(), again.c_str(),
                 size);
    std::abort();
  }
  return 0;
}
