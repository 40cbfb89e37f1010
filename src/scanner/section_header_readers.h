// Reading a located section's header: its file name and where its data
// begins. Results are positions (0 means absent) or views into the body.
#ifndef ZIMRAX_SCANNER_SECTION_HEADER_READERS_H_
#define ZIMRAX_SCANNER_SECTION_HEADER_READERS_H_

#include <string_view>

#include "base/checked.h"

namespace zimrax {

// "filename=" and a double quote: 10 bytes.
inline constexpr std::string_view kFilenameText = "filename=\"";

// Returns the index just after the filename text when it stands at or after
// `start` on the header line that holds `start` (before that line's CR LF);
// 0 otherwise, also when no CR LF follows `start`.
Checked<Position> FindFilenameStart(ByteView body, Position start);

// Returns the bytes from `start` up to, not including, the next double
// quote; the empty-run stand-in when the quote is at `start`. Fails with
// kSubscriptOutOfRange when no double quote follows.
Checked<ByteView> ReadQuotedBytes(ByteView body, Position start);

// Returns the index just after the first CR LF CR LF at or after `start`,
// or 0 when there is none.
Checked<Position> FindDataStart(ByteView body, Position start);

}  // namespace zimrax

#endif  // ZIMRAX_SCANNER_SECTION_HEADER_READERS_H_
