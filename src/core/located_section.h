// The opening both operations share: the delimiter line, the wanted field's
// section, and the file name on its header line, if any.
#ifndef ZIMRAX_CORE_LOCATED_SECTION_H_
#define ZIMRAX_CORE_LOCATED_SECTION_H_

#include "base/checked.h"
#include "zimrax/result_code.h"

namespace zimrax {

struct LocatedSection {
  ResultCode code = ResultCode::kOk;  // kOk, 101, 102, or 104 for an empty file name
  ByteView boundary_line;             // the body's first line, the delimiter of every search
  Position name_end = 0;              // index of the quote that closes the field's name
  bool has_file_name = false;         // a filename parameter stands on the header line
  ByteView file_name;                 // has_file_name: the bytes between its quotes
  Position file_name_end = 0;         // has_file_name: index of the quote that closes it
};

// Finds the section named `wanted_name` and reads its file name. Faults:
// kSubscriptOutOfRange for a field or file name with no closing quote.
Checked<LocatedSection> LocateSection(ByteView body, ByteView wanted_name);

}  // namespace zimrax

#endif  // ZIMRAX_CORE_LOCATED_SECTION_H_
