// FormStream against the whole-body operations, on arbitrary bodies, field
// names, policies and cuts into pieces.
//
// Input: flags (1 byte), piece seed (1 byte), two field names (a length
// byte each, then the name), then the body.
//   bits 0-1  policy: "error", "overwrite", "makeunique" (3 also "makeunique")
//   bit 2     the policy is given before the body, not at Finish
//   bit 3     a first-line cap of 8 bytes instead of the default
//   bit 4     a file already stands at the first field's stored name
//   bit 5     the value caps are 3 bytes instead of unlimited
//
// Every field must end as it does on the whole body (or over a cap that was
// really passed), the two directories must hold the same entries with the
// same bytes, and a stream aborted half way must leave nothing behind. A
// broken rule aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "multipart_model.h"
#include "stream_equivalence.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static zimrax::check::StreamSandbox sandbox;
  if (!sandbox.ok()) std::abort();
  zimrax::fuzz::FuzzInput input(bytes, size);
  const std::uint8_t flags = input.TakeByte();
  const std::uint32_t seed = input.TakeByte();
  const std::string first(input.TakeShortText());
  const std::string second(input.TakeShortText());
  const std::span<const std::uint8_t> body = input.Rest();

  zimrax::check::StreamCase c;
  static constexpr zimrax::ConflictPolicy kPolicies[] = {
      zimrax::ConflictPolicy::kError, zimrax::ConflictPolicy::kOverwrite, zimrax::ConflictPolicy::kMakeUnique,
      zimrax::ConflictPolicy::kMakeUnique};
  c.policy = kPolicies[flags & 3];
  c.policy_up_front = (flags & 4) != 0;
  if (flags & 8) c.max_first_line = 8;
  const std::size_t cap = (flags & 0x20) ? 3 : static_cast<std::size_t>(-1);
  c.file_fields = {first, second};
  c.value_fields = {{first, cap}, {second, cap}};
  if (flags & 0x10) {
    const std::string text(body.begin(), body.end());
    const std::string stored = zimrax::model::StoredName(zimrax::model::FileSaveScan(text, first).client_name);
    if (!zimrax::model::IsBadStoredName(stored) && stored.size() <= zimrax::model::kNameMax) c.occupied = {stored};
  }
  const std::string broken = sandbox.Compare(body, c, seed);
  if (!broken.empty()) {
    std::fprintf(stderr, "form_stream: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
