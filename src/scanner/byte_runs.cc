#include "scanner/byte_runs.h"

#include <algorithm>

namespace zimrax {
namespace {

constexpr std::uint8_t kEmptyRunByte[1] = {0};

}  // namespace

bool IsEmptyRun(ByteView run) { return run.data() == kEmptyRunByte; }

Checked<ByteView> SliceBytes(ByteView data, Position start, Position length) {
  if (length == 0) return Checked<ByteView>{ByteView(kEmptyRunByte, 1)};
  Position end;
  if (length < 0 || start < 0 || !CheckedAdd(start, length, &end) || end > SizeOf(data)) {
    return Checked<ByteView>::Fail(RuntimeError::kSubscriptOutOfRange);
  }
  return Checked<ByteView>{data.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(length))};
}

bool BytesEqual(ByteView a, ByteView b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::string BytesToString(ByteView bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string_view BytesAsText(ByteView bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

ByteView StringToBytes(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace zimrax
