// Runs of bytes out of the body, their equality, and the one-byte-per-
// character conversions between text and bytes.
//
// A run of length 0 is represented, as everywhere in the scanner, by the
// one-byte run holding 0 (the empty-run stand-in); IsEmptyRun tells it apart from a real
// one-byte run.
#ifndef ZIMRAX_SCANNER_BYTE_RUNS_H_
#define ZIMRAX_SCANNER_BYTE_RUNS_H_

#include <string>
#include <string_view>

#include "base/checked.h"

namespace zimrax {

// True when `run` is the stand-in for a run of length 0.
bool IsEmptyRun(ByteView run);

// Returns a view of data[start .. start + length - 1]; for length 0, the
// one-byte empty-run stand-in (data is not read). Fails with
// kSubscriptOutOfRange for a negative length or a run outside `data`.
Checked<ByteView> SliceBytes(ByteView data, Position start, Position length);

// True when both have the same length and the same bytes.
bool BytesEqual(ByteView a, ByteView b);

// One character per byte; the empty-run stand-in gives one NUL character.
std::string BytesToString(ByteView bytes);

// The same characters as a view of `bytes` itself, without a copy.
std::string_view BytesAsText(ByteView bytes);

// One byte per character, a view of `text` itself. Every character fits one
// byte, so this cannot fail; "" gives an empty view.
ByteView StringToBytes(std::string_view text);

}  // namespace zimrax

#endif  // ZIMRAX_SCANNER_BYTE_RUNS_H_
