// Cuts one fuzzer input into the pieces a target needs: single bytes and
// length-prefixed runs from the front, then the rest. Reading past the end
// gives zeros and empty runs, so every input is usable.
#ifndef ZIMRAX_FUZZ_FUZZ_INPUT_H_
#define ZIMRAX_FUZZ_FUZZ_INPUT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zimrax::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

  // The next byte, or 0 when the input is used up.
  std::uint8_t TakeByte() {
    if (rest_.empty()) return 0;
    const std::uint8_t byte = rest_.front();
    rest_ = rest_.subspan(1);
    return byte;
  }

  // The next `length` bytes, or fewer when the input runs out.
  std::span<const std::uint8_t> TakeRun(std::size_t length) {
    const std::size_t taken = std::min(length, rest_.size());
    const std::span<const std::uint8_t> run = rest_.first(taken);
    rest_ = rest_.subspan(taken);
    return run;
  }

  // A run whose length is given by the next byte.
  std::string_view TakeShortText() {
    const std::span<const std::uint8_t> run = TakeRun(TakeByte());
    return std::string_view(reinterpret_cast<const char*>(run.data()), run.size());
  }

  std::span<const std::uint8_t> Rest() const { return rest_; }

 private:
  std::span<const std::uint8_t> rest_;
};

}  // namespace zimrax::fuzz

#endif  // ZIMRAX_FUZZ_FUZZ_INPUT_H_
