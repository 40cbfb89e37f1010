#include "server/file_facts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/content_type_sniff.h"

namespace zimrax::zmfile {

class FileFactsTap::Handler : public PartHandler {
 public:
  Handler(std::vector<std::string> file_fields, std::string spool_dir)
      : file_fields_(std::move(file_fields)), spool_dir_(std::move(spool_dir)) {}
  ~Handler() override { CloseSpools(); }

  PartDecision OnPart(const PartInfo& part) override {
    CloseOpenFile();
    const bool file_field =
        std::find(file_fields_.begin(), file_fields_.end(), part.name) != file_fields_.end();
    if (file_field) {
      if (facts_.contains(part.name)) return PartDecision::Skip();  // the server stores the first only
      FileFacts& facts = facts_[part.name];
      if (!spool_dir_.empty()) facts.data_fd = ::open(spool_dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
      open_field_ = part.name;
      open_index_ = part.index;
      return PartDecision::Tap();
    }
    if (part.file_name || reads_ == kMaxHookFields) return PartDecision::Skip();
    ++reads_;
    return PartDecision::Read(kMaxHookFieldValue);
  }

  void OnData(std::size_t index, std::span<const std::uint8_t> bytes) override {
    if (open_field_.empty() || index != open_index_) return;
    FileFacts& facts = facts_[open_field_];
    facts.size += bytes.size();
    digest_.Update(bytes);
    if (facts.data_fd >= 0 && !WriteAll(facts.data_fd, bytes)) {
      ::close(facts.data_fd);
      facts.data_fd = -1;
    }
    const std::size_t room = kSniffedPrefix - prefix_.size();
    prefix_.insert(prefix_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
  }

  void OnRestart() override {
    CloseSpools();
    facts_.clear();
    open_field_.clear();
    prefix_.clear();
    digest_.HexFinal();
    reads_ = 0;
  }

  // The open file's data has ended: its digest and type are settled, and
  // its prefix is let go (one file's at a time is held).
  void CloseOpenFile() {
    if (open_field_.empty()) return;
    FileFacts& facts = facts_[open_field_];
    facts.sha256 = digest_.HexFinal();
    facts.mime_type = SniffContentType(prefix_);
    std::vector<std::uint8_t>().swap(prefix_);
    open_field_.clear();
  }

  std::map<std::string, FileFacts>& facts() { return facts_; }

 private:
  static bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
  }

  void CloseSpools() {
    for (auto& [name, facts] : facts_) {
      if (facts.data_fd >= 0) ::close(facts.data_fd);
      facts.data_fd = -1;
    }
  }

  const std::vector<std::string> file_fields_;
  const std::string spool_dir_;
  std::map<std::string, FileFacts> facts_;
  std::string open_field_;  // the file field whose data is streaming, "" for none
  std::size_t open_index_ = 0;
  Sha256Digest digest_;
  std::vector<std::uint8_t> prefix_;
  std::size_t reads_ = 0;
};

namespace {

PartStreamOptions TapOptions(std::size_t max_first_line) {
  PartStreamOptions options;
  options.max_first_line = max_first_line;
  return options;
}

}  // namespace

FileFactsTap::FileFactsTap(std::vector<std::string> file_fields, std::size_t max_first_line, std::string spool_dir)
    : handler_(std::make_unique<Handler>(std::move(file_fields), std::move(spool_dir))),
      stream_(TapOptions(max_first_line), handler_.get()) {}

FileFactsTap::~FileFactsTap() {
  if (!finished_) stream_.Abort();
}

void FileFactsTap::Feed(std::span<const std::uint8_t> piece) { stream_.Feed(piece); }

void FileFactsTap::Finish() {
  stream_.EndBody();
  handler_->CloseOpenFile();
  const PartStreamOutcome outcome = stream_.Finish();
  finished_ = true;
  for (const PartOutcome& part : outcome.parts) {
    if (part.action != PartAction::kRead) continue;
    if (part.status == PartStatus::kDone && part.result.ok()) {
      fields_.emplace_back(part.name, part.result.text);
    } else if (part.status == PartStatus::kLimitExceeded) {
      fields_.emplace_back(part.name, "");  // longer than kept: named, without its value
    }
  }
}

const FileFacts* FileFactsTap::Facts(const std::string& field) const {
  const auto found = handler_->facts().find(field);
  return found == handler_->facts().end() ? nullptr : &found->second;
}

}  // namespace zimrax::zmfile
