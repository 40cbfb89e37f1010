// Walking every part against the whole-body operations, on arbitrary
// bodies, policies and cuts into pieces.
//
// Input: flags (1 byte), piece seed (1 byte), then the body.
//   bits 0-1  policy: "error", "overwrite", "makeunique" (3 also "makeunique")
//   bit 2     the policy comes with each decision, not with Finish
//   bit 3     the parts are read as values instead of stored
//   bit 4     each part is decided late (kDecideLater, then Decide)
//   bit 5     the value cap is 3 bytes instead of 64 KiB
//   bit 6     a file named "a.txt" already stands in the directory
//
// Storing (reading) the first part of each name must give FileSave's
// (FormFieldValue's) outcome for that name, the directories must hold the
// same entries with the same bytes, and a tapped part's bytes must be its
// stored file's. A broken rule aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "part_walk_equivalence.h"
#include "stream_equivalence.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static zimrax::check::PartWalkSandbox sandbox;
  zimrax::fuzz::FuzzInput input(bytes, size);
  const std::uint8_t flags = input.TakeByte();
  const std::uint32_t seed = input.TakeByte();
  const std::span<const std::uint8_t> body = input.Rest();

  static constexpr zimrax::ConflictPolicy kPolicies[] = {
      zimrax::ConflictPolicy::kError, zimrax::ConflictPolicy::kOverwrite, zimrax::ConflictPolicy::kMakeUnique,
      zimrax::ConflictPolicy::kMakeUnique};
  zimrax::check::PartWalkCase c;
  c.policy = kPolicies[flags & 3];
  c.policy_in_decision = (flags & 4) != 0;
  c.read_values = (flags & 8) != 0;
  c.decide_later = (flags & 0x10) != 0;
  if (flags & 0x20) c.value_cap = 3;
  if (flags & 0x40) c.occupied = {"a.txt"};
  const std::string broken = sandbox.Compare(body, c, zimrax::check::PieceSizes(body.size(), seed));
  if (!broken.empty()) {
    std::fprintf(stderr, "part_walk: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
