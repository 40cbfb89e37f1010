#include "component/file_save.h"

#include <cerrno>

#include "scanner/byte_runs.h"
#include "scanner/form_field_locator.h"
#include "scanner/section_data_pieces.h"
#include "scanner/section_header_readers.h"
#include "storage/block_file_writer.h"
#include "storage/byte_source.h"
#include "storage/destination_path.h"

namespace zimrax {
namespace {

constexpr Operation kOperation = Operation::kFileSave;

OperationOutcome FromWrite(const WriteOutcome& written) {
  if (written.fault != RuntimeError::kNone) return OperationOutcome::Fault(written.fault);
  if (written.code != 0) return OperationOutcome{written.code, written.code_is_int32, written.message, {}};
  return OperationOutcome::Success(written.stored_name);
}

class SectionData final : public ByteSource {
 public:
  SectionData(ByteView body, Position data_start, ByteView delimiter_line)
      : pieces_(body, data_start, delimiter_line) {}
  Checked<ByteView> NextPiece() override { return pieces_.Next(); }

 private:
  SectionDataPieces pieces_;
};

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
  const std::string_view stored_name = StoredNameOf(BytesAsText(filename.value));
  if (!IsAcceptableStoredName(stored_name)) return OperationOutcome::Code(ResultCode::kBadFormFilename, kOperation);
  const Position filename_end = filename_start.value + SizeOf(filename.value);

  if (directory.fault != RuntimeError::kNone) return OperationOutcome::Fault(directory.fault);
  // A name no directory entry can hold is neither taken nor creatable under
  // any policy, so resolving it could only give the name itself: no path is
  // formed from it (it may be megabytes), and the writer's refusal of it
  // (75) is given here, once the data has been located as for any name.
  const bool name_fits = FitsDirectoryEntry(stored_name);
  Destination destination;
  if (name_fits) {
    destination = ResolveDestinationPath(directory.text, stored_name, policy);
    if (destination.fault != RuntimeError::kNone) return OperationOutcome::Fault(destination.fault);
  }

  // The data's start is found before anything on disk changes; its end is
  // found as it is written, into a temporary file that nobody else sees.
  const Checked<Position> data_start = FindDataStart(body, filename_end);
  if (!data_start.ok()) return OperationOutcome::Fault(data_start.error);
  if (data_start.value == 0) return OperationOutcome::Code(ResultCode::kDataNotFound, kOperation);
  if (!name_fits) return FromWrite(WriteFailure(ENAMETOOLONG, PathRole::kFile));

  // The data runs to the CR LF in front of the next delimiter line, or
  // through the body's last byte; the search for it runs a piece ahead of
  // the writer.
  SectionData data(body, data_start.value, boundary.value);
  return FromWrite(WriteBytesToFile(data, destination, policy));
}

}  // namespace zimrax
