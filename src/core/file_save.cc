#include "core/file_save.h"

#include <cerrno>

#include "core/located_section.h"
#include "core/result_builders.h"
#include "scanner/byte_runs.h"
#include "scanner/section_data_pieces.h"
#include "scanner/section_header_readers.h"
#include "storage/atomic_file_writer.h"
#include "storage/byte_source.h"
#include "storage/destination_path.h"

namespace zimrax {
namespace {

constexpr Operation kOperation = Operation::kFileSave;

// The scanner's data pieces as the writer's byte source; the adapter keeps
// the scanner free of storage types.
class SectionData final : public ByteSource {
 public:
  SectionData(ByteView body, Position data_start, ByteView delimiter_line)
      : pieces_(body, data_start, delimiter_line) {}
  Checked<ByteView> NextPiece() override { return pieces_.Next(); }

 private:
  SectionDataPieces pieces_;
};

}  // namespace

OperationResult FileSaveTo(ByteView body, std::string_view field_name, DirectoryArgument directory,
                           ConflictPolicy policy, const SaveOptions& options) {
  const Checked<LocatedSection> section = LocateSection(body, StringToBytes(field_name));
  if (!section.ok()) return FaultResult(section.error);
  if (section.value.code != ResultCode::kOk) return CodeResult(section.value.code, kOperation);
  if (!section.value.has_file_name) return CodeResult(ResultCode::kFilenameNotFound, kOperation);
  // Only the last piece of a client path is kept; what remains must name a
  // file inside the directory.
  const std::string_view plain_name = BaseNameOfClientPath(BytesAsText(section.value.file_name));
  if (!IsAcceptableStoredName(plain_name)) return CodeResult(ResultCode::kBadFormFilename, kOperation);

  if (directory.fault != RuntimeError::kNone) return FaultResult(directory.fault);
  // A name no directory entry can hold is neither taken nor creatable under
  // any policy, so resolving it could only give the name itself: no path is
  // formed from it (it may be megabytes), and the writer's refusal of it
  // (75) is given here, once the data has been located as for any name.
  const bool name_fits = FitsDirectoryEntry(plain_name);
  Destination destination;
  if (name_fits) {
    Checked<Destination> resolved = ResolveDestinationPath(directory.text, plain_name, policy);
    if (!resolved.ok()) return FaultResult(resolved.error);
    destination = std::move(resolved.value);
  }

  // The data's start is found before anything on disk changes; its end is
  // found as it is written, into a temporary file that nobody else sees.
  const Checked<Position> data_start = FindDataStart(body, section.value.file_name_end);
  if (!data_start.ok()) return FaultResult(data_start.error);
  if (data_start.value == 0) return CodeResult(ResultCode::kDataNotFound, kOperation);
  if (!name_fits) return SaveResultOf(StoreReport::Failed(ENAMETOOLONG, PathRole::kFile));

  // The data runs to the CR LF in front of the next delimiter line, or
  // through the body's last byte; the search for it runs a piece ahead of
  // the writer.
  SectionData data(body, data_start.value, section.value.boundary_line);
  return SaveResultOf(WriteBytesToFile(data, destination, policy, options.durable));
}

OperationResult FileSave(std::span<const std::uint8_t> body, std::string_view field_name, std::string_view directory,
                         ConflictPolicy policy) {
  return FileSaveTo(body, field_name, DirectoryArgument{directory}, policy);
}

OperationResult FileSave(std::span<const std::uint8_t> body, std::string_view field_name, std::string_view directory,
                         ConflictPolicy policy, const SaveOptions& options) {
  return FileSaveTo(body, field_name, DirectoryArgument{directory}, policy, options);
}

}  // namespace zimrax
