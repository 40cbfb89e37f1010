#include "server/hook_form_tap.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace zimrax::zmfile {

class HookFormTap::Handler : public PartHandler {
 public:
  Handler(std::vector<std::string> file_fields, std::string spool_dir, std::function<bool()> may_open_spool)
      : file_fields_(std::move(file_fields)),
        spool_dir_(std::move(spool_dir)),
        may_open_spool_(std::move(may_open_spool)) {}
  ~Handler() override { CloseSpools(); }

  PartDecision OnPart(const PartInfo& part) override {
    open_field_.clear();
    const bool file_field = std::find(file_fields_.begin(), file_fields_.end(), part.name) != file_fields_.end();
    if (file_field) {
      // The server stores a field's first part only; without a spool the
      // file's bytes are not needed here at all.
      if (spool_dir_.empty() || spools_.contains(part.name)) return PartDecision::Skip();
      spools_[part.name] = !may_open_spool_ || may_open_spool_() ? OpenSpool() : -1;
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
    int& fd = spools_[open_field_];
    if (fd >= 0 && !WriteAll(fd, bytes)) {
      ::close(fd);
      fd = -1;
    }
  }

  void OnRestart() override {
    CloseSpools();
    spools_.clear();
    open_field_.clear();
    reads_ = 0;
  }

  int DataFd(const std::string& field) const {
    const auto found = spools_.find(field);
    return found == spools_.end() ? -1 : found->second;
  }

 private:
  // An unnamed file in the spool folder; where the file system has no
  // O_TMPFILE (GlusterFS among them), a hidden one unlinked at once.
  int OpenSpool() const {
    const int fd = ::open(spool_dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    std::string path = spool_dir_ + "/.zmfile-hook-copy-XXXXXX";
    const int named = ::mkostemp(path.data(), O_CLOEXEC);
    if (named >= 0) ::unlink(path.c_str());
    return named;
  }

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
    for (auto& [name, fd] : spools_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  const std::vector<std::string> file_fields_;
  const std::string spool_dir_;
  const std::function<bool()> may_open_spool_;
  std::map<std::string, int> spools_;  // file field -> its copy's descriptor, -1 when it failed
  std::string open_field_;             // the file field whose data is streaming, "" for none
  std::size_t open_index_ = 0;
  std::size_t reads_ = 0;
};

namespace {

PartStreamOptions TapOptions(std::size_t max_first_line) {
  PartStreamOptions options;
  options.max_first_line = max_first_line;
  return options;
}

}  // namespace

HookFormTap::HookFormTap(std::vector<std::string> file_fields, std::size_t max_first_line, std::string spool_dir,
                         std::function<bool()> may_open_spool)
    : handler_(std::make_unique<Handler>(std::move(file_fields), std::move(spool_dir), std::move(may_open_spool))),
      stream_(TapOptions(max_first_line), handler_.get()) {}

HookFormTap::~HookFormTap() {
  if (!finished_) stream_.Abort();
}

void HookFormTap::Feed(std::span<const std::uint8_t> piece) { stream_.Feed(piece); }

void HookFormTap::Finish() {
  if (finished_) return;
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

int HookFormTap::DataFd(const std::string& field) const { return handler_->DataFd(field); }

}  // namespace zimrax::zmfile
