#include "core/part_slot.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

#include "core/result_builders.h"

namespace zimrax {
namespace {

constexpr std::string_view kContentType = "content-type:";

bool StartsWithNoCase(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
  }
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

PartSlot::PartSlot(std::size_t index, std::string name, const SearchPattern* delimiter, Position name_end,
                   const PartStreamOptions* options, PartHandler* handler, std::size_t* next_report)
    : index_(index),
      name_(std::move(name)),
      options_(*options),
      handler_(*handler),
      reader_(SectionReader::Mode::kPart, delimiter, this, name_end),
      name_end_(name_end),
      next_report_(*next_report) {}

void PartSlot::Consume(ByteView bytes) {
  if (!reported_ && header_.size() <= options_.max_header_bytes) {
    // One byte past the cap tells that it was passed (none past SIZE_MAX).
    const std::size_t cap = options_.max_header_bytes;
    const std::size_t room = cap - header_.size() + (cap < SIZE_MAX ? 1 : 0);
    const ByteView kept = bytes.first(std::min(room, bytes.size()));
    header_.insert(header_.end(), kept.begin(), kept.end());
  }
  reader_.Consume(bytes);
  // Headers past the cap: reported (not offered) without waiting for their end.
  if (!reported_ && !ready_ && header_.size() > options_.max_header_bytes) {
    ready_ = true;
    if (next_report_ == index_) Report();
  }
}

void PartSlot::FileNameBytes(ByteView bytes) {
  has_file_name_ = true;
  const std::size_t room = options_.max_header_bytes - std::min(options_.max_header_bytes, file_name_.size());
  file_name_.append(reinterpret_cast<const char*>(bytes.data()), std::min(room, bytes.size()));
}

bool PartSlot::HeaderTooLong() const {
  if (reader_.DataStarted()) {
    return static_cast<std::uint64_t>(reader_.Search()->from - name_end_) > options_.max_header_bytes;
  }
  return header_.size() > options_.max_header_bytes;
}

PartInfo PartSlot::Info() const {
  PartInfo info;
  info.index = index_;
  info.name = name_;
  if (has_file_name_ && file_name_closed_) info.file_name = file_name_;
  info.data_found = reader_.DataStarted();
  std::string_view headers(reinterpret_cast<const char*>(header_.data()), header_.size());
  if (info.data_found) headers = headers.substr(0, static_cast<std::size_t>(reader_.Search()->from - name_end_));
  // The rest of the name's line is the disposition's; the header lines
  // follow it, up to the empty line.
  std::size_t at = headers.find("\r\n");
  while (at != std::string_view::npos) {
    const std::size_t start = at + 2;
    const std::size_t end = headers.find("\r\n", start);
    if (end == std::string_view::npos || end == start) break;
    const std::string_view line = headers.substr(start, end - start);
    if (StartsWithNoCase(line, kContentType) && info.content_type.empty()) {
      info.content_type = std::string(Trimmed(line.substr(kContentType.size())));
    } else {
      info.header_lines.emplace_back(line);
    }
    at = end;
  }
  return info;
}

bool PartSlot::DataStart() {
  ready_ = true;
  if (next_report_ == index_) Report();
  return Wanted();
}

bool PartSlot::Wanted() const { return !decided_ || file_wants_ || value_wants_ || tap_; }

void PartSlot::Report() {
  reported_ = true;
  ++next_report_;
  if (HeaderTooLong()) {
    header_too_long_ = true;
    std::vector<std::uint8_t>().swap(header_);
    Decide(PartDecision::Skip());
    return;
  }
  PartDecision decision = handler_.OnPart(Info());
  std::vector<std::uint8_t>().swap(header_);
  if (decision.action == PartAction::kDecideLater) {
    waiting_ = true;
  } else {
    Decide(std::move(decision));
  }
}

void PartSlot::Apply(PartDecision decision) {
  decision_ = std::move(decision);
  decided_ = true;
  tap_ = decision_.tap || decision_.action == PartAction::kTap;
  const ByteView name(reinterpret_cast<const std::uint8_t*>(file_name_.data()), file_name_.size());
  if (decision_.action == PartAction::kStore) {
    directory_ = decision_.directory.empty() ? options_.directory : decision_.directory;
    file_.emplace(directory_, decision_.policy, options_.save.durable);
    if (has_file_name_) file_->FileNameBytes(name);
    if (file_name_closed_) file_->FileNameEnd();
    file_wants_ = reader_.DataStarted() && file_->DataStart();
  } else if (decision_.action == PartAction::kRead) {
    value_.emplace(decision_.max_value_bytes);
    // A file part's value is its file name; only a plain part's is its data.
    if (has_file_name_) value_->FileNameBytes(name);
    value_wants_ = !has_file_name_ && reader_.DataStarted();
  }
}

bool PartSlot::Data(ByteView first, ByteView second) {
  if (!decided_) {
    held_.insert(held_.end(), first.begin(), first.end());
    held_.insert(held_.end(), second.begin(), second.end());
    return true;
  }
  if (file_wants_) file_wants_ = file_->Data(first, second);
  if (value_wants_) value_wants_ = value_->Data(first, second);
  if (tap_) {
    if (!first.empty()) handler_.OnData(index_, first);
    if (!second.empty()) handler_.OnData(index_, second);
  }
  return file_wants_ || value_wants_ || tap_;
}

void PartSlot::Decide(PartDecision decision) {
  if (decision.action == PartAction::kDecideLater) decision.action = PartAction::kSkip;
  waiting_ = false;
  Apply(std::move(decision));
  std::vector<std::uint8_t> held;
  held.swap(held_);
  if (!held.empty()) Data(held, {});
}

void PartSlot::EndOfBody() {
  reader_.Finish();
  ready_ = true;
}

void PartSlot::Discard() {
  if (file_) file_->Discard();
}

PartOutcome PartSlot::Finish(ConflictPolicy fallback, RuntimeError void_fault) {
  if (!decided_) Decide(PartDecision::Skip());
  PartOutcome outcome;
  outcome.index = index_;
  outcome.name = name_;
  outcome.action = decision_.action;
  outcome.data_bytes = reader_.DataBytes();
  if (void_fault != RuntimeError::kNone) {
    Discard();
    outcome.status = decision_.action == PartAction::kStore || decision_.action == PartAction::kRead
                         ? PartStatus::kDone
                         : PartStatus::kSkipped;
    if (outcome.status == PartStatus::kDone) outcome.result = FaultResult(void_fault);
    return outcome;
  }
  if (header_too_long_) {
    outcome.status = PartStatus::kHeaderTooLong;
    return outcome;
  }
  FieldOutcome field;
  if (decision_.action == PartAction::kStore) {
    field = file_->Finish(reader_, fallback);
  } else if (decision_.action == PartAction::kRead) {
    field = value_->Finish(reader_);
  } else {
    outcome.status = PartStatus::kSkipped;
    return outcome;
  }
  outcome.status = field.status == FieldStatus::kLimitExceeded ? PartStatus::kLimitExceeded : PartStatus::kDone;
  outcome.result = std::move(field.result);
  return outcome;
}

}  // namespace zimrax
