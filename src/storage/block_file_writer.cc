#include "storage/block_file_writer.h"

#include <cerrno>

#include "storage/file_exists.h"
#include "storage/temp_file.h"
#include "zimrax/result_code.h"

namespace zimrax {
namespace {

WriteOutcome AlreadyExists() {
  return WriteOutcome{static_cast<std::int32_t>(ResultCode::kFileAlreadyExists), false,
                      std::string(ResultMessage(ResultCode::kFileAlreadyExists, Operation::kFileSave)), {},
                      RuntimeError::kNone};
}

WriteOutcome Fault(RuntimeError fault) {
  WriteOutcome outcome;
  outcome.fault = fault;
  return outcome;
}

WriteOutcome Published(const Destination& destination) {
  WriteOutcome outcome;
  outcome.stored_name = destination.name;
  return outcome;
}

}  // namespace

WriteOutcome WriteFailure(int error_number, PathRole role, bool code_is_int32) {
  const RuntimeError error = PlatformErrorFromErrno(error_number, role);
  return WriteOutcome{static_cast<std::int32_t>(error), code_is_int32, std::string(RuntimeErrorDescription(error)),
                      {}, RuntimeError::kNone};
}

WriteOutcome WriteBytesToFile(ByteSource& data, const Destination& destination, ConflictPolicy policy) {
  // A taken name under "error" is refused before any byte is written; the
  // publish step below still refuses one taken in the meantime.
  if (policy == ConflictPolicy::kError && FileExists(destination.path)) return AlreadyExists();
  if (destination.directory.find('\0') != std::string::npos) return WriteFailure(EINVAL, PathRole::kDirectory, false);
  // A name the file system cannot hold fails now, before the data is written.
  if (!FitsDirectoryEntry(destination.name)) return WriteFailure(ENAMETOOLONG, PathRole::kFile, false);

  TempFile file;
  PathRole role;
  if (const int error = file.Create(destination.directory, policy == ConflictPolicy::kOverwrite, &role)) {
    return WriteFailure(error, role, false);
  }
  for (;;) {
    const Checked<ByteView> piece = data.NextPiece();
    if (!piece.ok()) return Fault(piece.error);
    if (piece.value.empty()) break;
    if (const int error = file.WriteAll(piece.value)) return WriteFailure(error, PathRole::kFile, false);
  }

  if (policy == ConflictPolicy::kOverwrite) {
    if (const int error = file.ReplaceAs(destination.name)) return WriteFailure(error, PathRole::kFile, true);
    return Published(destination);
  }
  Destination candidate = destination;
  for (;;) {
    const int error = file.LinkAs(candidate.name);
    if (error == 0) return Published(candidate);
    if (error != EEXIST) return WriteFailure(error, PathRole::kFile, false);
    if (policy != ConflictPolicy::kMakeUnique) return AlreadyExists();
    // Another writer took the name since it was resolved: try the next one.
    if (candidate.number >= kMaxUniqueNumber) return Fault(RuntimeError::kOverflow);
    candidate = DestinationFor(candidate.requested_directory, candidate.stored_name, candidate.number + 1);
  }
}

}  // namespace zimrax
