#include "server/byte_ranges.h"

#include <limits>
#include <optional>
#include <string>

#include "server/ascii_text.h"

namespace zimrax::zmfile {
namespace {

constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

// One byte range as written: [first]-[last]; a suffix range has no first.
struct RangeSpec {
  std::optional<std::uint64_t> first;
  std::optional<std::uint64_t> last;
};

// Decimal digits only (at least one); a value past 64 bits is kLargest.
std::optional<std::uint64_t> ParseDigits(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    value = value > (kLargest - digit) / 10 ? kLargest : value * 10 + digit;
  }
  return value;
}

std::optional<RangeSpec> ParseSpec(std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view before = text.substr(0, dash);
  const std::string_view after = text.substr(dash + 1);
  RangeSpec range;
  if (!before.empty()) {
    range.first = ParseDigits(before);
    if (!range.first) return std::nullopt;
  }
  if (!after.empty()) {
    range.last = ParseDigits(after);
    if (!range.last) return std::nullopt;
  }
  if (!range.first && !range.last) return std::nullopt;      // "-"
  if (range.first && range.last && *range.last < *range.first) return std::nullopt;  // invalid, not unsatisfiable
  return range;
}

}  // namespace

RangeDecision DecideRange(std::string_view header, std::uint64_t size) {
  RangeDecision whole;
  header = Trimmed(header);
  const std::size_t equals = header.find('=');
  if (equals == std::string_view::npos || Lowered(Trimmed(header.substr(0, equals))) != "bytes") return whole;
  std::string_view rest = header.substr(equals + 1);
  int specs = 0;
  int satisfiable = 0;
  RangeDecision one;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = Trimmed(rest.substr(0, comma));
    // A list may hold empty elements ("a, , b"); they count for nothing.
    if (!item.empty()) {
      const std::optional<RangeSpec> parsed = ParseSpec(item);
      if (!parsed) return whole;
      ++specs;
      std::uint64_t first = 0;
      std::uint64_t end = size;  // one past the last byte sent
      if (!parsed->first) {
        first = *parsed->last >= size ? 0 : size - *parsed->last;
      } else {
        first = *parsed->first;
        if (parsed->last && *parsed->last < size) end = *parsed->last + 1;
      }
      if (first < end) {
        ++satisfiable;
        one = {RangeAnswer::kPartial, first, end - first};
      }
    }
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  if (specs == 0 || size == 0 || satisfiable > 1) return whole;
  if (satisfiable == 0) return {RangeAnswer::kUnsatisfiable, 0, 0};
  return one;
}

std::string ContentRangeOf(const RangeDecision& decision, std::uint64_t size) {
  return "bytes " + std::to_string(decision.first) + "-" + std::to_string(decision.first + decision.length - 1) + "/" +
         std::to_string(size);
}

}  // namespace zimrax::zmfile
