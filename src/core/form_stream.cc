#include "zimrax/form_stream.h"

#include <cstring>
#include <utility>

#include "core/body_tail.h"
#include "core/result_builders.h"
#include "core/section_reader.h"
#include "core/section_walker.h"
#include "core/streamed_file_field.h"
#include "core/streamed_value_field.h"

namespace zimrax {
namespace {

constexpr std::uint8_t kEmptyRunByte[1] = {0};

// One requested field: its sink, and its reader once its section is found.
// Readers point at their slot's sink, so slots stay where they are made.
template <typename Sink>
struct Slot {
  template <typename... SinkArguments>
  Slot(std::string field_name, SinkArguments&&... arguments)
      : name(std::move(field_name)), sink(std::forward<SinkArguments>(arguments)...) {}
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

  std::string name;
  Sink sink;
  std::optional<SectionReader> reader;
  std::size_t section = 0;  // the section it was found in, while reader is set
  bool discarded = false;
};
template <typename Sink>
using Slots = std::vector<std::unique_ptr<Slot<Sink>>>;

}  // namespace

class FormStream::Impl final : public SectionWalker::Listener {
 public:
  explicit Impl(FormStreamOptions options) : options_(std::move(options)) {
    files_.reserve(options_.file_fields.size());
    for (std::size_t index = 0; index < options_.file_fields.size(); ++index) {
      StreamedFileField::DataTap tap;
      if (options_.on_file_data) {
        tap = [this, index](ByteView data) { return options_.on_file_data(index, data); };
      }
      files_.push_back(std::make_unique<Slot<StreamedFileField>>(
          options_.file_fields[index], options_.directory, options_.policy, options_.save.durable,
          shared_directory_, options_.may_open_file, std::move(tap)));
    }
    values_.reserve(options_.value_fields.size());
    for (const ValueField& field : options_.value_fields) {
      values_.push_back(std::make_unique<Slot<StreamedValueField>>(field.name, field.max_bytes));
    }
  }

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
    if (line_break == kNoMatch) {
      if (first_line_.size() > options_.max_first_line + 1) {
        over_first_line_cap_ = true;
        std::vector<std::uint8_t>().swap(first_line_);
      }
      return;
    }
    if (line_break > options_.max_first_line) {
      over_first_line_cap_ = true;
      std::vector<std::uint8_t>().swap(first_line_);
      return;
    }
    StartBody(line_break);
  }

  void Discard(std::string_view name) {
    for (auto& owned : files_) {
      auto& slot = *owned;
      if (slot.name == name && !slot.discarded) {
        slot.discarded = true;
        slot.sink.Discard();
      }
    }
  }

  // The body has ended: the value fields are settled, the files not yet.
  FormStreamOutcome FinishValues() {
    EndBody();
    FormStreamOutcome outcome;
    outcome.values = *value_outcomes_;
    if (walker_) {
      outcome.sections = walker_->Names();
      outcome.more_sections = walker_->MoreNames();
    }
    return outcome;
  }

  FormStreamOutcome Finish(std::optional<ConflictPolicy> policy) {
    FormStreamOutcome outcome = FinishValues();
    if (over_first_line_cap_) {
      for (auto& owned : files_) {
        auto& slot = *owned;
        slot.sink.Discard();
        outcome.files.push_back({slot.name, slot.discarded ? FieldStatus::kDiscarded : FieldStatus::kLimitExceeded, {}});
      }
      return outcome;
    }
    const ConflictPolicy chosen = options_.policy.value_or(policy.value_or(ConflictPolicy::kError));
    for (auto& owned : files_) {
      auto& slot = *owned;
      if (slot.discarded || slot.sink.Discarded()) {
        outcome.files.push_back({slot.name, FieldStatus::kDiscarded, {}});
      } else if (Found(slot, ending_)) {
        FieldOutcome field = slot.sink.Finish(*slot.reader, chosen);
        field.name = slot.name;
        outcome.files.push_back(std::move(field));
      } else {
        slot.sink.Discard();
        outcome.files.push_back({slot.name, FieldStatus::kDone, NotFound(ending_, Operation::kFileSave)});
      }
    }
    return outcome;
  }

  bool FormComplete() const {
    if (!ended_ || over_first_line_cap_ || !boundary_ || stand_in_) return false;
    return tail_.EndsWithClosingLine(boundary_->Bytes());
  }

  std::optional<std::uint64_t> FileDataBytes(std::string_view name) const {
    if (!ended_ || over_first_line_cap_) return std::nullopt;
    for (const auto& owned : files_) {
      const auto& slot = *owned;
      if (slot.name == name) return Found(slot, ending_) ? slot.reader->DataBytes() : std::nullopt;
    }
    return std::nullopt;
  }

  void Abort() {
    for (auto& slot : files_) slot->sink.Discard();
    shared_directory_->Close();  // every temporary is gone: the directory is not needed
    // Take no more; unfinished, every field ends as over a cap.
    if (!ended_) over_first_line_cap_ = true;
  }

  void OnSection(const SectionWalker::Section& section) override {
    current_section_ = section.index;
    current_readers_.clear();
    MatchSection(files_, section, SectionReader::Mode::kFile);
    MatchSection(values_, section, SectionReader::Mode::kValue);
  }

  const DelimiterSearch* DelimiterSearchOf(std::size_t index) const override {
    if (index != current_section_) return nullptr;
    for (const SectionReader* reader : current_readers_) {
      if (const DelimiterSearch* search = reader->Search()) return search;
    }
    return nullptr;
  }

  void OnRestart() override {
    current_readers_.clear();
    for (auto& owned : files_) {
      auto& slot = *owned;
      slot.reader.reset();
      slot.sink.Reset();
    }
    for (auto& owned : values_) {
      auto& slot = *owned;
      slot.reader.reset();
      slot.sink.Reset();
    }
  }

 private:
  static constexpr std::uint8_t kCrLf[2] = {'\r', '\n'};

  // Ends the body once: every reader and the walk see that nothing more
  // comes, and the value fields are settled.
  void EndBody() {
    if (ended_) return;
    ended_ = true;
    value_outcomes_.emplace();
    if (!over_first_line_cap_ && !walker_) StartBody(kNoMatch);  // a body without CR LF
    if (over_first_line_cap_) {
      for (auto& slot : values_) value_outcomes_->push_back({slot->name, FieldStatus::kLimitExceeded, {}});
      return;
    }
    for (auto& owned : files_) {
      auto& slot = *owned;
      if (slot.reader) slot.reader->Finish();
    }
    for (auto& owned : values_) {
      auto& slot = *owned;
      if (slot.reader) slot.reader->Finish();
    }
    ending_ = walker_->Finish();
    for (auto& owned : values_) {
      auto& slot = *owned;
      if (Found(slot, ending_)) {
        FieldOutcome field = slot.sink.Finish(*slot.reader);
        field.name = slot.name;
        value_outcomes_->push_back(std::move(field));
      } else {
        value_outcomes_->push_back({slot.name, FieldStatus::kDone, NotFound(ending_, Operation::kFormFieldValue)});
      }
    }
  }

  // The body from the first line on, now that the delimiter is known.
  // `line_break` is the index of the first CR LF, or kNoMatch for none.
  void StartBody(std::size_t line_break) {
    const bool stand_in = line_break == kNoMatch || line_break == 0;
    stand_in_ = stand_in;
    const ByteView delimiter =
        stand_in ? ByteView(kEmptyRunByte, 1) : ByteView(first_line_.data(), line_break);
    boundary_.emplace(delimiter);
    tail_.Reserve(boundary_->Length());
    // The first delimiter is the first line itself; the walk goes on after
    // it. A one-NUL delimiter is searched for from the start instead.
    const std::size_t walk_from = stand_in ? 0 : line_break;
    walker_.emplace(&*boundary_, stand_in, static_cast<Position>(walk_from), this);
    std::vector<std::uint8_t> gathered;
    gathered.swap(first_line_);
    FeedBody(ByteView(gathered).subspan(walk_from));
  }

  void FeedBody(ByteView piece) {
    tail_.Keep(piece, boundary_->Length());
    for (auto& owned : files_) {
      auto& slot = *owned;
      if (slot.reader) slot.reader->Consume(piece);
    }
    for (auto& owned : values_) {
      auto& slot = *owned;
      if (slot.reader) slot.reader->Consume(piece);
    }
    // Once every field is found and nothing can undo that, the walk has
    // nothing left to find: the readers alone read on. (After the closing
    // delimiter line the walker stops of itself, until more bytes come.)
    if (walker_done_) return;
    walker_->Consume(piece);
    walker_done_ = AllFound() && !walker_->Unsettled();
  }

  bool AllFound() const {
    for (const auto& slot : files_) {
      if (!slot->reader) return false;
    }
    for (const auto& slot : values_) {
      if (!slot->reader) return false;
    }
    return true;
  }

  template <typename Sink>
  void MatchSection(Slots<Sink>& slots, const SectionWalker::Section& section, SectionReader::Mode mode) {
    for (auto& owned : slots) {
      auto& slot = *owned;
      if (slot.reader || slot.name.size() != section.name.size() ||
          std::memcmp(slot.name.data(), section.name.data(), section.name.size()) != 0) {
        continue;
      }
      slot.reader.emplace(mode, &*boundary_, &slot.sink, section.name_end);
      slot.section = section.index;
      current_readers_.push_back(&*slot.reader);
      for (const ByteView part : section.backlog) slot.reader->Consume(part);
    }
  }

  template <typename SlotT>
  static bool Found(const SlotT& slot, const SectionWalker::Ending& ending) {
    return slot.reader && (!ending.faulted_at || slot.section < *ending.faulted_at);
  }

  static OperationResult NotFound(const SectionWalker::Ending& ending, Operation operation) {
    if (ending.fault != RuntimeError::kNone) return FaultResult(ending.fault);
    return CodeResult(ending.code, operation);
  }

  FormStreamOptions options_;
  // The one descriptor of the directory that every file field's temporary uses.
  std::shared_ptr<SharedDirectory> shared_directory_ = std::make_shared<SharedDirectory>();
  Slots<StreamedFileField> files_;
  Slots<StreamedValueField> values_;
  std::vector<std::uint8_t> first_line_;
  bool over_first_line_cap_ = false;
  std::optional<SearchPattern> boundary_;
  std::optional<SectionWalker> walker_;
  bool walker_done_ = false;
  bool stand_in_ = false;           // the delimiter is the one-NUL stand-in
  BodyTail tail_;                   // the body's last bytes
  // The section the walker reported last, and its readers: the walker may
  // take their search for the delimiter after its data.
  std::size_t current_section_ = 0;
  std::vector<const SectionReader*> current_readers_;
  bool ended_ = false;
  SectionWalker::Ending ending_;
  std::optional<std::vector<FieldOutcome>> value_outcomes_;
};

FormStream::FormStream(FormStreamOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
FormStream::~FormStream() {
  if (impl_) impl_->Abort();
}
FormStream::FormStream(FormStream&&) noexcept = default;
FormStream& FormStream::operator=(FormStream&&) noexcept = default;

void FormStream::Feed(std::span<const std::uint8_t> piece) { impl_->Feed(piece); }
void FormStream::Discard(std::string_view name) { impl_->Discard(name); }
FormStreamOutcome FormStream::FinishValues() { return impl_->FinishValues(); }
FormStreamOutcome FormStream::Finish(std::optional<ConflictPolicy> policy) {
  FormStreamOutcome outcome = impl_->Finish(policy);
  impl_->Abort();
  return outcome;
}
bool FormStream::FormComplete() const { return impl_->FormComplete(); }
std::optional<std::uint64_t> FormStream::FileDataBytes(std::string_view name) const {
  return impl_->FileDataBytes(name);
}
void FormStream::Abort() { impl_->Abort(); }

}  // namespace zimrax
