// The no-throw core of ZmFormFieldValue.
#ifndef ZIMRAX_COMPONENT_FORM_FIELD_VALUE_H_
#define ZIMRAX_COMPONENT_FORM_FIELD_VALUE_H_

#include "component/operation_outcome.h"
#include "scanner/checked.h"

namespace zimrax {

// Returns the value of the field named `wanted_name` in `body`: a plain
// field's data (through the body's last byte when no delimiter follows), or
// a file-upload field's file name as sent. `crlf` is the two-byte pattern of
// the first line-break search. Codes: 101, 102, 104, 105; faults: 9, 6.
OperationOutcome FormFieldValue(ByteView body, ByteView wanted_name, ByteView crlf);

}  // namespace zimrax

#endif  // ZIMRAX_COMPONENT_FORM_FIELD_VALUE_H_
