// The Range header of a download: which bytes of a file of known size the
// client asked for, decided the way RFC 9110 (section 14) lets a server.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_BYTE_RANGES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_BYTE_RANGES_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

enum class RangeAnswer {
  kWhole,          // 200 with the whole file: no Range, one this server ignores, or several ranges
  kPartial,        // 206 with `first` and `length`
  kUnsatisfiable,  // 416 with "Content-Range: bytes */size"
};

struct RangeDecision {
  RangeAnswer answer = RangeAnswer::kWhole;
  std::uint64_t first = 0;   // REQUIRES for use: answer == kPartial
  std::uint64_t length = 0;  // at least 1 for kPartial
};

// Decides the answer to the Range value `header` ("" when the request has
// none) for a file of `size` bytes:
//  - a value that does not parse as "bytes=" and a list of first-last,
//    first- and -suffix ranges (unit in any case, blanks around the commas)
//    is ignored: kWhole, as RFC 9110 allows for an invalid one;
//  - ranges that start at or past the end, and "-0", cannot be satisfied;
//    the others are clipped to the file. None left: kUnsatisfiable;
//    exactly one: kPartial; more than one: kWhole (no multipart answers);
//  - an empty file is always sent whole (no range of it can be expressed).
// Numbers too large for 64 bits count as the largest value.
RangeDecision DecideRange(std::string_view header, std::uint64_t size);

// "bytes first-last/size". REQUIRES: decision.answer == kPartial.
std::string ContentRangeOf(const RangeDecision& decision, std::uint64_t size);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_BYTE_RANGES_H_
