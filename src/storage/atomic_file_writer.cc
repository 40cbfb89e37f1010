#include "storage/atomic_file_writer.h"

#include <cerrno>

#include "storage/file_exists.h"

namespace zimrax {
namespace {

StoreReport Stored(const Destination& destination, bool replaced) {
  StoreReport report;
  report.entry_name = destination.entry_name;
  report.replaced = replaced;
  return report;
}

}  // namespace

StoreReport CheckDestination(const Destination& destination, ConflictPolicy policy) {
  // A taken name under "error" is refused before any byte is written; the
  // publish step still refuses one taken in the meantime.
  if (policy == ConflictPolicy::kError && FileExists(destination.path)) {
    return StoreReport::WithStatus(StoreStatus::kTaken);
  }
  if (destination.directory.find('\0') != std::string::npos) return StoreReport::Failed(EINVAL, PathRole::kDirectory);
  if (!FitsDirectoryEntry(destination.entry_name)) return StoreReport::Failed(ENAMETOOLONG, PathRole::kFile);
  return StoreReport{};
}

StoreReport AtomicFileWriter::Open(const std::string& directory, bool durable) {
  return Open(std::make_shared<SharedDirectory>(), directory, durable);
}

StoreReport AtomicFileWriter::Open(std::shared_ptr<SharedDirectory> shared, const std::string& directory,
                                   bool durable) {
  durable_ = durable;
  PathRole role;
  if (const int error = file_.Create(std::move(shared), directory, &role)) return StoreReport::Failed(error, role);
  return StoreReport{};
}

StoreReport AtomicFileWriter::Open(const Destination& destination, ConflictPolicy policy, bool durable) {
  StoreReport opened = Open(destination.directory, durable);
  if (!opened.ok() && opened.role == PathRole::kFile && policy == ConflictPolicy::kOverwrite &&
      (opened.error_number == EACCES || opened.error_number == EPERM || opened.error_number == EROFS)) {
    opened.replacing = FileExists(destination.path);
  }
  return opened;
}

StoreReport AtomicFileWriter::Append(ByteView first, ByteView second) {
  if (const int error = file_.WriteAll(first, second)) return StoreReport::Failed(error, PathRole::kFile);
  return StoreReport{};
}

StoreReport AtomicFileWriter::Publish(const Destination& destination, ConflictPolicy policy) {
  if (durable_) {
    if (const int error = file_.Sync()) return StoreReport::Failed(error, PathRole::kFile);
  }
  if (const int error = file_.CheckClose()) return StoreReport::Failed(error, PathRole::kFile);
  StoreReport published = PublishChecked(destination, policy);
  if (published.ok() && durable_) {
    if (const int error = file_.SyncDirectory()) return StoreReport::Failed(error, PathRole::kDirectory);
  }
  return published;
}

StoreReport AtomicFileWriter::PublishChecked(const Destination& destination, ConflictPolicy policy) {
  if (policy == ConflictPolicy::kOverwrite) {
    bool replaced = false;
    if (const int error = file_.ReplaceAs(destination.entry_name, &replaced)) {
      return StoreReport::Failed(error, PathRole::kFile, /*replacing=*/true);
    }
    return Stored(destination, replaced);
  }
  Destination candidate = destination;
  for (;;) {
    const int error = file_.LinkAs(candidate.entry_name);
    if (error == 0) return Stored(candidate, false);
    if (error != EEXIST) return StoreReport::Failed(error, PathRole::kFile);
    if (policy != ConflictPolicy::kMakeUnique) return StoreReport::WithStatus(StoreStatus::kTaken);
    // Another writer took the name since it was resolved: try the next one.
    Checked<Destination> next = NextUniqueCandidate(candidate);
    if (!next.ok()) return StoreReport::WithStatus(StoreStatus::kNoNameLeft);
    candidate = std::move(next.value);
  }
}

StoreReport WriteBytesToFile(ByteSource& data, const Destination& destination, ConflictPolicy policy,
                             bool durable) {
  if (StoreReport checked = CheckDestination(destination, policy); !checked.ok()) return checked;
  AtomicFileWriter writer;
  if (StoreReport opened = writer.Open(destination, policy, durable); !opened.ok()) return opened;
  for (;;) {
    const Checked<ByteView> piece = data.NextPiece();
    if (!piece.ok()) {
      StoreReport fault = StoreReport::WithStatus(StoreStatus::kSourceFault);
      fault.source_fault = piece.error;
      return fault;
    }
    if (piece.value.empty()) break;
    if (StoreReport written = writer.Append(piece.value); !written.ok()) return written;
  }
  return writer.Publish(destination, policy);
}

}  // namespace zimrax
