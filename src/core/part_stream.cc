#include "zimrax/part_stream.h"

#include <cstring>
#include <utility>

#include "core/body_tail.h"
#include "core/part_slot.h"
#include "core/section_walker.h"

namespace zimrax {
namespace {

constexpr std::uint8_t kEmptyRunByte[1] = {0};
constexpr std::uint8_t kCrLf[2] = {'\r', '\n'};

}  // namespace

class PartStream::Impl final : public SectionWalker::Listener {
 public:
  Impl(PartStreamOptions options, PartHandler* handler) : options_(std::move(options)), handler_(handler) {}

  void Feed(ByteView piece) {
    if (over_first_line_cap_ || ended_ || piece.empty()) return;
    if (walker_) {
      FeedBody(piece);
      return;
    }
    // The first line decides the delimiter: gather it whole.
    const std::size_t searched_from = first_line_.empty() ? 0 : first_line_.size() - 1;
    first_line_.insert(first_line_.end(), piece.begin(), piece.end());
    const std::size_t line_break = FirstMatch(first_line_, ByteView(kCrLf), searched_from);
    if (line_break == kNoMatch ? first_line_.size() > options_.max_first_line + 1
                               : line_break > options_.max_first_line) {
      over_first_line_cap_ = true;
      std::vector<std::uint8_t>().swap(first_line_);
      return;
    }
    if (line_break != kNoMatch) StartBody(line_break);
  }

  bool Decide(std::size_t index, PartDecision decision) {
    if (finished_ || index >= slots_.size() || !slots_[index]->Waiting()) return false;
    slots_[index]->Decide(std::move(decision));
    return true;
  }

  // The body has ended: the last data goes out, the parts not reported yet
  // are reported.
  void EndBody() {
    if (ended_) return;
    ended_ = true;
    if (over_first_line_cap_) return;
    if (!walker_) StartBody(kNoMatch);  // a body without CR LF
    for (auto& slot : slots_) slot->EndOfBody();
    ReportInTurn();
    ending_ = walker_->Finish();
  }

  PartStreamOutcome Finish(std::optional<ConflictPolicy> policy) {
    PartStreamOutcome outcome;
    if (finished_) return outcome;
    EndBody();
    finished_ = true;
    if (over_first_line_cap_) {
      outcome.status = PartStreamStatus::kFirstLineTooLong;
      return outcome;
    }
    const SectionWalker::Ending& ending = ending_;
    if (too_many_) outcome.status = PartStreamStatus::kTooManyParts;
    const ConflictPolicy fallback = policy.value_or(ConflictPolicy::kError);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      // The walk faulted at a section: those from there on are void.
      const bool void_part = ending.faulted_at && i >= *ending.faulted_at;
      outcome.parts.push_back(slots_[i]->Finish(fallback, void_part ? ending.fault : RuntimeError::kNone));
    }
    outcome.form_complete = FormComplete();
    return outcome;
  }

  void Abort() {
    for (auto& slot : slots_) slot->Discard();
    slots_.clear();
    ended_ = true;
    finished_ = true;
  }

  void OnSection(const SectionWalker::Section& section) override {
    active_.clear();
    if (section.index >= options_.max_parts) {
      too_many_ = true;
      return;
    }
    slots_.push_back(std::make_unique<PartSlot>(
        section.index, std::string(reinterpret_cast<const char*>(section.name.data()), section.name.size()),
        &*boundary_, section.name_end, &options_, handler_, &next_report_));
    PartSlot& slot = *slots_.back();
    for (const ByteView part : section.backlog) slot.Consume(part);
    ReportInTurn();
    if (slot.Reading()) reading_.push_back(&slot);
    active_.push_back(&slot);
  }

  const DelimiterSearch* DelimiterSearchOf(std::size_t index) const override {
    if (active_.empty() || index + 1 != slots_.size()) return nullptr;
    return active_.front()->Reader().Search();
  }

  void OnRestart() override {
    active_.clear();
    reading_.clear();
    for (auto& slot : slots_) slot->Discard();
    slots_.clear();
    too_many_ = false;
    next_report_ = 0;
    handler_->OnRestart();
  }

 private:
  // The body from the first line on, now that the delimiter is known.
  // `line_break` is the index of the first CR LF, or kNoMatch for none.
  void StartBody(std::size_t line_break) {
    stand_in_ = line_break == kNoMatch || line_break == 0;
    const ByteView delimiter = stand_in_ ? ByteView(kEmptyRunByte, 1) : ByteView(first_line_.data(), line_break);
    boundary_.emplace(delimiter);
    // The first delimiter is the first line itself; the walk goes on after
    // it. A one-NUL delimiter is searched for from the start instead.
    const std::size_t walk_from = stand_in_ ? 0 : line_break;
    walker_.emplace(&*boundary_, stand_in_, static_cast<Position>(walk_from), this);
    std::vector<std::uint8_t> gathered;
    gathered.swap(first_line_);
    FeedBody(ByteView(gathered).subspan(walk_from));
  }

  void FeedBody(ByteView piece) {
    tail_.Keep(piece, boundary_->Length());
    // Readers of earlier parts first, then the walk, which may start more.
    std::size_t kept = 0;
    for (PartSlot* slot : reading_) {
      slot->Consume(piece);
      if (slot->Reading()) reading_[kept++] = slot;
    }
    reading_.resize(kept);
    ReportInTurn();
    walker_->Consume(piece);
  }

  // Parts are reported in body order: one whose headers ended before an
  // earlier one's waits for it (holding its data).
  void ReportInTurn() {
    while (next_report_ < slots_.size() && slots_[next_report_]->ReadyToReport()) slots_[next_report_]->Report();
  }

  // The body ended with CR LF, the delimiter, "--" and at most one CR LF.
  bool FormComplete() const {
    if (stand_in_) return false;
    return tail_.EndsWithClosingLine(boundary_->Bytes());
  }

  PartStreamOptions options_;
  PartHandler* handler_;
  std::vector<std::uint8_t> first_line_;
  bool over_first_line_cap_ = false;
  bool ended_ = false;     // the body has ended
  bool finished_ = false;  // the outcome was given (or the walk aborted)
  SectionWalker::Ending ending_;
  bool stand_in_ = false;  // the delimiter is the one-NUL stand-in
  bool too_many_ = false;
  std::size_t next_report_ = 0;  // parts reported so far
  std::optional<SearchPattern> boundary_;
  std::optional<SectionWalker> walker_;
  std::vector<std::unique_ptr<PartSlot>> slots_;  // by index
  std::vector<PartSlot*> reading_;                // slots whose reader is not done
  std::vector<const PartSlot*> active_;           // the slot of the section reported last
  BodyTail tail_;                                 // the body's last bytes
};

PartStream::PartStream(PartStreamOptions options, PartHandler* handler)
    : impl_(std::make_unique<Impl>(std::move(options), handler)) {}
PartStream::~PartStream() {
  if (impl_) impl_->Abort();
}
PartStream::PartStream(PartStream&&) noexcept = default;
PartStream& PartStream::operator=(PartStream&&) noexcept = default;

void PartStream::Feed(std::span<const std::uint8_t> piece) { impl_->Feed(piece); }
void PartStream::EndBody() { impl_->EndBody(); }
bool PartStream::Decide(std::size_t index, PartDecision decision) { return impl_->Decide(index, std::move(decision)); }
PartStreamOutcome PartStream::Finish(std::optional<ConflictPolicy> policy) {
  PartStreamOutcome outcome = impl_->Finish(policy);
  impl_->Abort();
  return outcome;
}
void PartStream::Abort() { impl_->Abort(); }

}  // namespace zimrax
