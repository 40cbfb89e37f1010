#include <cerrno>
#include <string>

#include "core/result_builders.h"
#include "storage/atomic_file_writer.h"
#include "storage/destination_path.h"
#include "storage/staged_file_publisher.h"
#include "zimrax/staged_file.h"

namespace zimrax {

OperationResult PublishStagedFile(std::string_view staged_path, std::string_view client_file_name,
                                  std::string_view directory, ConflictPolicy policy, const SaveOptions& options) {
  // The name rules of FileSave: only the last piece of a client path is
  // kept, and it must name a file inside the directory.
  const std::string_view plain_name = BaseNameOfClientPath(client_file_name);
  if (!IsAcceptableStoredName(plain_name)) return CodeResult(ResultCode::kBadFormFilename, Operation::kFileSave);
  if (!FitsDirectoryEntry(plain_name)) return SaveResultOf(StoreReport::Failed(ENAMETOOLONG, PathRole::kFile));
  if (staged_path.find('\0') != std::string_view::npos) return SaveResultOf(StoreReport::Failed(EINVAL, PathRole::kFile));

  Checked<Destination> destination = ResolveDestinationPath(directory, plain_name, policy);
  if (!destination.ok()) return FaultResult(destination.error);
  if (StoreReport checked = CheckDestination(destination.value, policy); !checked.ok()) return SaveResultOf(checked);
  return SaveResultOf(PublishStagedFile(std::string(staged_path), destination.value, policy, options.durable));
}

}  // namespace zimrax
