// Differential target: the fast FindBytes must give exactly the result of the
// plain forward scan FindBytesReference (position or fault) for every data,
// pattern and start. Any difference aborts.
//
// Input: mode, start (2 bytes, signed), pattern length (2 bytes), pattern,
// then the data material. In "raw" mode the material is the data. Otherwise
// each material byte b appends the first (b % (pattern length + 1)) bytes of
// the pattern, and b itself when its top bit is set: data made of near
// matches, where a searcher is most likely to go wrong or slow.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "scanner/find_bytes.h"
#include "support/find_bytes_reference.h"

namespace {

using zimrax::ByteView;
using zimrax::Checked;
using zimrax::Position;

// Bounds that keep the reference scan (up to data x pattern comparisons)
// well inside the fuzzer's time limit per input.
constexpr std::size_t kMaxBuiltData = std::size_t{1} << 16;
constexpr std::size_t kMaxPattern = 600;

std::vector<std::uint8_t> NearMatches(ByteView material, ByteView pattern) {
  std::vector<std::uint8_t> data;
  for (const std::uint8_t b : material) {
    const std::size_t prefix = b % (pattern.size() + 1);
    data.insert(data.end(), pattern.begin(), pattern.begin() + static_cast<std::ptrdiff_t>(prefix));
    if (b & 0x80) data.push_back(b);
    if (data.size() > kMaxBuiltData) break;
  }
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  zimrax::fuzz::FuzzInput input(bytes, size);
  const std::uint8_t mode = input.TakeByte();
  const std::uint8_t start_low = input.TakeByte();
  const std::uint8_t start_high = input.TakeByte();
  const Position start = static_cast<std::int16_t>(static_cast<std::uint16_t>(start_low | start_high << 8));
  const std::size_t pattern_length =
      (input.TakeByte() | static_cast<std::size_t>(input.TakeByte()) << 8) % (kMaxPattern + 1);
  const ByteView pattern = input.TakeRun(pattern_length);

  std::vector<std::uint8_t> built;
  ByteView data = input.Rest();
  if ((mode & 1) == 0 && !pattern.empty()) {
    built = NearMatches(input.Rest(), pattern);
    data = built;
  }

  const Checked<Position> fast = zimrax::FindBytes(data, pattern, start);
  const Checked<Position> reference = zimrax::FindBytesReference(data, pattern, start);
  if (fast.error != reference.error || fast.value != reference.value) {
    std::fprintf(stderr, "FindBytes differs: data %zu, pattern %zu, start %lld: fast %lld/%d, reference %lld/%d\n",
                 data.size(), pattern.size(), static_cast<long long>(start), static_cast<long long>(fast.value),
                 static_cast<int>(fast.error), static_cast<long long>(reference.value),
                 static_cast<int>(reference.error));
    std::abort();
  }
  return 0;
}
