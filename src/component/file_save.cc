#include "component/file_save.h"

#include "scanner/byte_runs.h"
#include "scanner/find_bytes.h"
#include "scanner/form_field_locator.h"
#include "scanner/section_header_readers.h"
#include "storage/block_file_writer.h"
#include "storage/destination_path.h"

namespace zimrax {
namespace {

constexpr Operation kOperation = Operation::kFileSave;

}  // namespace

OperationOutcome FileSave(ByteView body, ByteView wanted_name, DirectoryArgument directory, ConflictPolicy policy,
                          ByteView crlf) {
  const Checked<ByteView> boundary = BoundaryLineOf(body, crlf);
  if (!boundary.ok()) return OperationOutcome::Fault(boundary.error);

  const Checked<LocatedField> field = LocateFormField(body, wanted_name, boundary.value);
  if (!field.ok()) return OperationOutcome::Fault(field.error);
  if (field.value.code != ResultCode::kOk) return OperationOutcome::Code(field.value.code, kOperation);

  const Checked<Position> filename_start = FindFilenameStart(body, field.value.name_end);
  if (!filename_start.ok()) return OperationOutcome::Fault(filename_start.error);
  if (filename_start.value == 0) return OperationOutcome::Code(ResultCode::kFilenameNotFound, kOperation);

  const Checked<ByteView> filename = ReadQuotedBytes(body, filename_start.value);
  if (!filename.ok()) return OperationOutcome::Fault(filename.error);
  if (IsEmptyRun(filename.value)) return OperationOutcome::Code(ResultCode::kBadFormFilename, kOperation);
  // Only the last piece of a client path is kept; what remains must name a
  // file inside the directory.
  const std::string client_file_name = BytesToString(filename.value);
  const std::string_view stored_name = StoredNameOf(client_file_name);
  if (!IsAcceptableStoredName(stored_name)) return OperationOutcome::Code(ResultCode::kBadFormFilename, kOperation);
  const Position filename_end = filename_start.value + SizeOf(filename.value);

  if (directory.fault != RuntimeError::kNone) return OperationOutcome::Fault(directory.fault);
  const Destination destination = ResolveDestinationPath(directory.text, stored_name, policy);
  if (destination.fault != RuntimeError::kNone) return OperationOutcome::Fault(destination.fault);

  // The data is located before anything on disk changes.
  const Checked<Position> data_start = FindDataStart(body, filename_end);
  if (!data_start.ok()) return OperationOutcome::Fault(data_start.error);
  if (data_start.value == 0) return OperationOutcome::Code(ResultCode::kDataNotFound, kOperation);

  const Checked<Position> next_delimiter = FindBytes(body, boundary.value, data_start.value);
  if (!next_delimiter.ok()) return OperationOutcome::Fault(next_delimiter.error);
  // Inclusive end: three bytes in front of the delimiter line, leaving out
  // the CR LF before it; without a delimiter, through the body's last byte.
  const Position data_end = next_delimiter.value != 0 ? next_delimiter.value - 3 : SizeOf(body) - 1;
  const Position count = data_end - data_start.value + 1;
  const ByteView data = count > 0 ? body.subspan(static_cast<std::size_t>(data_start.value),
                                                 static_cast<std::size_t>(count))
                                  : ByteView();

  const WriteOutcome written = WriteBytesToFile(data, destination, policy);
  if (written.fault != RuntimeError::kNone) return OperationOutcome::Fault(written.fault);
  if (written.code != 0) return OperationOutcome{written.code, written.code_is_int32, written.message, {}};
  return OperationOutcome::Success(written.stored_name);
}

}  // namespace zimrax
