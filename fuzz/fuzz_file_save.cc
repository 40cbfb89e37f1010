// ZmFileSave on arbitrary bodies, field names and name-conflict policies,
// writing into a fresh destination directory for every input.
//
// Input: flags (1 byte), field name length (1 byte), field name, body.
//   bits 0-1  policy: "error", "overwrite", "makeunique", or omitted
//   bit 2     the policy text in capitals
//   bits 3-4  what already stands at the stored name: nothing, a file, a
//             dangling symbolic link to ../escape, or a directory
//   bit 5     a file already stands at the first numbered name
//   bit 6     a second, identical call follows the first
//
// After each call the directory must hold exactly what it held before plus
// the one file that a successful call reports, with the bytes the reference
// model gives; a non-zero ErrorCode or a fault leaves it unchanged. The
// parent directory must keep holding the destination directory only, and no
// file descriptor may stay open. A broken rule aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "outcome_checks.h"

namespace {

using zimrax::check::Policy;
using zimrax::model::Entry;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static zimrax::check::SaveSandbox sandbox;
  if (!sandbox.ok()) std::abort();
  zimrax::fuzz::FuzzInput input(bytes, size);
  const std::uint8_t flags = input.TakeByte();
  const std::string name(input.TakeShortText());
  const std::span<const std::uint8_t> body = input.Rest();

  sandbox.Reset();
  // Occupy the names the call will meet, as the flags ask.
  const zimrax::model::ScanResult scan = zimrax::model::FileSaveScan(std::string(body.begin(), body.end()), name);
  const std::string stored = zimrax::model::StoredName(scan.client_name);
  if (!scan.client_name.empty()) {
    const int occupant = (flags >> 3) & 3;
    if (occupant != 0) sandbox.Place(stored, static_cast<Entry>(occupant - 1));
    if (flags & 0x20) sandbox.Place(zimrax::model::NumberedName(stored, 1), Entry::kFile);
  }

  const int calls = (flags & 0x40) ? 2 : 1;
  for (int i = 0; i < calls; ++i) {
    const std::string broken = sandbox.Save(body, name, static_cast<Policy>(flags & 3), (flags & 4) != 0);
    if (!broken.empty()) {
      std::fprintf(stderr, "file_save: %s\n", broken.c_str());
      std::abort();
    }
  }
  return 0;
}
