#include "core/streamed_file_field.h"

#include <cerrno>
#include <cstring>

#include "core/result_builders.h"
#include "scanner/byte_runs.h"
#include "storage/destination_path.h"
#include "storage/file_exists.h"

namespace zimrax {
namespace {

constexpr Operation kOperation = Operation::kFileSave;
constexpr std::size_t kLongestEntry = 255;

}  // namespace

StreamedFileField::StreamedFileField(const std::string& directory, std::optional<ConflictPolicy> policy, bool durable,
                                     std::shared_ptr<SharedDirectory> shared, std::function<bool()> may_open_file,
                                     DataTap tap)
    : directory_(directory),
      policy_(policy),
      durable_(durable),
      write_directory_(DestinationFor(directory, "x", 0).directory),
      shared_directory_(shared ? std::move(shared) : std::make_shared<SharedDirectory>()),
      may_open_file_(std::move(may_open_file)),
      tap_(std::move(tap)) {}

void StreamedFileField::FileNameBytes(ByteView bytes) {
  name_bytes_ += bytes.size();
  // A "\" or "/" in this part starts the stored name over after it.
  const std::string_view after = BaseNameOfClientPath(BytesAsText(bytes));
  if (after.size() != bytes.size()) {
    last_piece_.clear();
    piece_too_long_ = false;
    piece_has_nul_ = false;
    bytes = bytes.last(after.size());
  }
  if (!bytes.empty() && std::memchr(bytes.data(), 0, bytes.size()) != nullptr) piece_has_nul_ = true;
  const std::size_t room = kLongestEntry + 1 - last_piece_.size();
  if (bytes.size() > room) piece_too_long_ = true;
  last_piece_.append(reinterpret_cast<const char*>(bytes.data()), std::min(room, bytes.size()));
}

bool StreamedFileField::NameIsAcceptable() const {
  return name_bytes_ > 0 && !piece_has_nul_ && (piece_too_long_ || IsAcceptableStoredName(last_piece_));
}

void StreamedFileField::FileNameEnd() {
  // Nothing is written for a name that can only be refused: a bad name, one
  // no directory entry can hold, or one taken under a known "error" policy.
  if (!NameIsAcceptable() || piece_too_long_ || !FitsDirectoryEntry(last_piece_)) {
    refused_early_ = true;
    return;
  }
  if (policy_ == ConflictPolicy::kError &&
      !CheckDestination(DestinationFor(directory_, last_piece_, 0), ConflictPolicy::kError).ok()) {
    refused_early_ = true;
  }
}

bool StreamedFileField::DataStart() {
  if (refused_early_ || discarded_) return false;
  if (may_open_file_ && !may_open_file_()) {
    write_failure_ = StoreReport::Failed(EMFILE, PathRole::kFile);
    opening_failed_ = true;
    return false;
  }
  writer_.emplace();
  if (StoreReport opened = writer_->Open(shared_directory_, write_directory_, durable_); !opened.ok()) {
    write_failure_ = opened;
    opening_failed_ = true;
    writer_.reset();
    return false;
  }
  return Tapped({});
}

bool StreamedFileField::Tapped(ByteView data) {
  if (!tap_) return true;
  bool keep = false;
  try {
    keep = tap_(data);
  } catch (...) {
    keep = false;
  }
  if (!keep) Discard();
  return keep;
}

bool StreamedFileField::Data(ByteView first, ByteView second) {
  if (!writer_) return false;
  if ((!first.empty() && !Tapped(first)) || (!second.empty() && !Tapped(second))) return false;
  if (StoreReport written = writer_->Append(first, second); !written.ok()) {
    write_failure_ = written;
    writer_.reset();
    return false;
  }
  return true;
}

void StreamedFileField::Reset() {
  writer_.reset();
  name_bytes_ = 0;
  last_piece_.clear();
  piece_too_long_ = false;
  piece_has_nul_ = false;
  refused_early_ = false;
  write_failure_ = StoreReport{};
  opening_failed_ = false;
}

void StreamedFileField::Discard() {
  discarded_ = true;
  writer_.reset();
}

FieldOutcome StreamedFileField::Finish(const SectionReader& reader, ConflictPolicy policy) {
  FieldOutcome outcome;
  if (policy_) policy = *policy_;
  // The whole-body order of refusals, first to last.
  if (!reader.HasFileName()) {
    outcome.result = CodeResult(ResultCode::kFilenameNotFound, kOperation);
  } else if (!reader.FileNameClosed()) {
    outcome.result = FaultResult(RuntimeError::kSubscriptOutOfRange);
  } else if (!NameIsAcceptable()) {
    outcome.result = CodeResult(ResultCode::kBadFormFilename, kOperation);
  } else {
    const bool fits = !piece_too_long_ && FitsDirectoryEntry(last_piece_);
    Checked<Destination> destination;
    if (fits) destination = ResolveDestinationPath(directory_, last_piece_, policy);
    if (!destination.ok()) {
      outcome.result = FaultResult(destination.error);
    } else if (!reader.DataStarted()) {
      outcome.result = CodeResult(ResultCode::kDataNotFound, kOperation);
    } else if (!fits) {
      outcome.result = SaveResultOf(StoreReport::Failed(ENAMETOOLONG, PathRole::kFile));
    } else if (StoreReport checked = CheckDestination(destination.value, policy); !checked.ok()) {
      outcome.result = SaveResultOf(checked);
    } else if (!write_failure_.ok()) {
      StoreReport failure = write_failure_;
      // A temporary file refused where "overwrite" would replace an entry
      // is that replace failing, as FileSave reports it.
      if (opening_failed_ && policy == ConflictPolicy::kOverwrite &&
          (failure.error_number == EACCES || failure.error_number == EPERM || failure.error_number == EROFS)) {
        failure.replacing = FileExists(destination.value.path);
      }
      outcome.result = SaveResultOf(failure);
    } else if (!writer_) {
      // Refused early under "error", and the name is free again now: the
      // bytes were never written, so this stream cannot store them.
      outcome.result = CodeResult(ResultCode::kFileAlreadyExists, kOperation);
    } else {
      outcome.result = SaveResultOf(writer_->Publish(destination.value, policy));
    }
  }
  writer_.reset();
  return outcome;
}

}  // namespace zimrax
