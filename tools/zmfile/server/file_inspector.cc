#include "server/file_inspector.h"

#include <algorithm>

#include "content_sniffer.h"

namespace zimrax::zmfile {

struct FileInspector::State {
  Sha256Digest digest;
};

FileInspector::FileInspector(const UploadRules& rules, std::size_t fields)
    : rules_(rules), seen_(fields), states_(fields) {}

FileInspector::~FileInspector() = default;

bool FileInspector::OnData(std::size_t field, std::span<const std::uint8_t> data) noexcept {
  if (field >= seen_.size()) return true;
  Seen& seen = seen_[field];
  try {
    if (data.empty()) {
      // The data begins, or begins again after the walk restarted.
      seen = Seen{};
      seen.started = true;
      if (rules_.digest) {
        if (!states_[field]) states_[field] = std::make_unique<State>();
        states_[field]->digest.Reset();
      }
      if (rules_.SniffsContent()) {
        if (prefix_field_ && *prefix_field_ != field) SettleType(*prefix_field_);
        prefix_.clear();
        prefix_field_ = field;
      }
      return true;
    }
    if (rules_.max_file_size > 0 && data.size() > rules_.max_file_size - seen.size) {
      seen.too_large = true;
      if (prefix_field_ == field) prefix_field_.reset();
      return false;
    }
    seen.size += data.size();
    if (rules_.digest) states_[field]->digest.Update(data);
    if (prefix_field_ == field) {
      const std::size_t take = std::min(data.size(), kMaxSniffBytes - prefix_.size());
      prefix_.insert(prefix_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
      if (prefix_.size() == kMaxSniffBytes) {
        SettleType(field);
        // A large file of a refused type is not written past its first bytes.
        seen.type_refusal = ContentTypeRefusal(rules_.types, seen.mime_type);
        if (seen.type_refusal) return false;
      }
    }
    return true;
  } catch (...) {
    // Out of memory: the field cannot be judged, so it is not stored.
    seen.started = false;
    return false;
  }
}

void FileInspector::SettleType(std::size_t field) {
  if (prefix_field_ != field) return;
  seen_[field].mime_type = SniffMimeType(prefix_);
  prefix_.clear();
  prefix_field_.reset();
}

void FileInspector::Settle() {
  if (prefix_field_) SettleType(*prefix_field_);
  std::vector<std::uint8_t>().swap(prefix_);
  if (!rules_.digest) return;
  for (std::size_t field = 0; field < seen_.size(); ++field) {
    if (seen_[field].started && !seen_[field].too_large && states_[field]) {
      seen_[field].sha256 = states_[field]->digest.FinishHex();
    }
  }
}

const FileInspector::Seen& FileInspector::Field(std::size_t field) const { return seen_.at(field); }

}  // namespace zimrax::zmfile
