#include "core/located_section.h"
#include "core/result_builders.h"
#include "scanner/byte_runs.h"
#include "scanner/find_bytes.h"
#include "scanner/section_header_readers.h"
#include "zimrax/form_data.h"

namespace zimrax {
namespace {

constexpr Operation kOperation = Operation::kFormFieldValue;

}  // namespace

OperationResult FormFieldValue(std::span<const std::uint8_t> body, std::string_view field_name) {
  const Checked<LocatedSection> section = LocateSection(body, StringToBytes(field_name));
  if (!section.ok()) return FaultResult(section.error);
  if (section.value.code != ResultCode::kOk) return CodeResult(section.value.code, kOperation);
  // A file-upload field's value is its file name exactly as sent.
  if (section.value.has_file_name) return SuccessResult(BytesToString(section.value.file_name));

  const Checked<Position> data_start = FindDataStart(body, section.value.name_end);
  if (!data_start.ok()) return FaultResult(data_start.error);
  if (data_start.value == 0) return CodeResult(ResultCode::kDataNotFound, kOperation);

  const Checked<Position> next_delimiter = FindBytes(body, section.value.boundary_line, data_start.value);
  if (!next_delimiter.ok()) return FaultResult(next_delimiter.error);
  // Exclusive end: the two bytes in front of the delimiter line (its CR LF)
  // are not part of the value; without a delimiter the value runs to the end.
  const Position data_end = next_delimiter.value != 0 ? next_delimiter.value - 2 : SizeOf(body);
  if (data_end - data_start.value < 1) return SuccessResult("");
  const Checked<ByteView> value = SliceBytes(body, data_start.value, data_end - data_start.value);
  if (!value.ok()) return FaultResult(value.error);
  return SuccessResult(BytesToString(value.value));
}

}  // namespace zimrax
