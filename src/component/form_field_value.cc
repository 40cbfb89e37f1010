#include "component/form_field_value.h"

#include "scanner/byte_runs.h"
#include "scanner/find_bytes.h"
#include "scanner/form_field_locator.h"
#include "scanner/section_header_readers.h"

namespace zimrax {
namespace {

constexpr Operation kOperation = Operation::kFormFieldValue;

}  // namespace

OperationOutcome FormFieldValue(ByteView body, ByteView wanted_name, ByteView crlf) {
  const Checked<ByteView> boundary = BoundaryLineOf(body, crlf);
  if (!boundary.ok()) return OperationOutcome::Fault(boundary.error);

  const Checked<LocatedField> field = LocateFormField(body, wanted_name, boundary.value);
  if (!field.ok()) return OperationOutcome::Fault(field.error);
  if (field.value.code != ResultCode::kOk) return OperationOutcome::Code(field.value.code, kOperation);
  const Position name_end = field.value.name_end;

  // A filename parameter on the header line makes it a file-upload field,
  // whose value is the file name exactly as sent.
  const Checked<Position> filename_start = FindFilenameStart(body, name_end);
  if (!filename_start.ok()) return OperationOutcome::Fault(filename_start.error);
  if (filename_start.value != 0) {
    const Checked<ByteView> filename = ReadQuotedBytes(body, filename_start.value);
    if (!filename.ok()) return OperationOutcome::Fault(filename.error);
    if (IsEmptyRun(filename.value)) return OperationOutcome::Code(ResultCode::kBadFormFilename, kOperation);
    return OperationOutcome::Success(BytesToString(filename.value));
  }

  const Checked<Position> data_start = FindDataStart(body, name_end);
  if (!data_start.ok()) return OperationOutcome::Fault(data_start.error);
  if (data_start.value == 0) return OperationOutcome::Code(ResultCode::kDataNotFound, kOperation);

  const Checked<Position> next_delimiter = FindBytes(body, boundary.value, data_start.value);
  if (!next_delimiter.ok()) return OperationOutcome::Fault(next_delimiter.error);
  // Exclusive end: the two bytes in front of the delimiter line (its CR LF)
  // are not part of the value; without a delimiter the value runs to the end.
  const Position data_end = next_delimiter.value != 0 ? next_delimiter.value - 2 : SizeOf(body);
  if (data_end - data_start.value < 1) return OperationOutcome::Success("");
  const Checked<ByteView> value = SliceBytes(body, data_start.value, data_end - data_start.value);
  if (!value.ok()) return OperationOutcome::Fault(value.error);
  return OperationOutcome::Success(BytesToString(value.value));
}

}  // namespace zimrax
