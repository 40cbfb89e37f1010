// Finding the named field's section: the delimiter line, the section names
// and the walk from section to section.
#ifndef ZIMRAX_SCANNER_FORM_FIELD_LOCATOR_H_
#define ZIMRAX_SCANNER_FORM_FIELD_LOCATOR_H_

#include <string_view>

#include "base/checked.h"
#include "zimrax/result_code.h"

namespace zimrax {

// "Content-Disposition: form-data; name=" and a double quote: 38 bytes.
inline constexpr std::string_view kDispositionText = "Content-Disposition: form-data; name=\"";
// The longest section name that can match; longer ones never do.
inline constexpr Position kMaxFieldNameLength = 120;

// The delimiter line: the bytes before the body's first CR LF. When the body
// begins with CR LF or has none, the empty-run stand-in (one byte 0).
Checked<ByteView> BoundaryLineOf(ByteView body);

// Answers "is there a double quote at or after p?" after one backward scan
// of the body, so repeated name reads stay linear in the body's size.
class QuoteLocator {
 public:
  explicit QuoteLocator(ByteView body) : body_(body) {}
  bool AnyAtOrAfter(Position p);

 private:
  ByteView body_;
  Position last_quote_ = -2;  // -2: not scanned yet; -1: the body has none
};

// Returns the section name that begins at `start`: the bytes up to the next
// double quote, or the one-byte run holding a double quote when that name
// is longer than kMaxFieldNameLength. Fails with kSubscriptOutOfRange when
// no double quote follows `start`.
Checked<ByteView> ReadFieldNameBytes(ByteView body, Position start, QuoteLocator& quotes);

struct LocatedField {
  Position name_end = 0;                   // index of the quote closing the name
  ResultCode code = ResultCode::kOk;       // kOk, kFieldNameNotFound or kDispositionNotFound
};

// Walks the sections in body order until one is named `wanted_name`.
// Returns the index of the quote that closes the name, or code 101 (no
// further delimiter line after a rejected section) or 102 (a delimiter line
// with no disposition text after it). Faults are those of the name reader.
Checked<LocatedField> LocateFormField(ByteView body, ByteView wanted_name, ByteView boundary_line);

}  // namespace zimrax

#endif  // ZIMRAX_SCANNER_FORM_FIELD_LOCATOR_H_
