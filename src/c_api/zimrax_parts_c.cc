// The pull interface over PartStream (zimrax_parts_* in zimrax/zimrax_c.h).
// The core calls its handler while a piece is fed; this layer answers every
// part with kDecideLater and queues what the core reports, so the caller
// sees one event at a time and decides each part after seeing it. The data
// a late decision releases is queued right after the events already handed
// out, ahead of any later part's.
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "c_api/c_support.h"
#include "zimrax/part_stream.h"
#include "zimrax/zimrax_c.h"

namespace {

using zimrax::c_support::BytesOf;
using zimrax::c_support::Guarded;
using zimrax::c_support::KnownPolicy;
using zimrax::c_support::PolicyOf;

struct QueuedEvent {
  zimrax_part_event_kind kind = ZIMRAX_EVENT_NONE;
  std::size_t index = 0;
  zimrax::PartInfo info;           // PART
  std::vector<std::uint8_t> data;  // DATA
};

class PullHandler final : public zimrax::PartHandler {
 public:
  zimrax::PartDecision OnPart(const zimrax::PartInfo& part) override {
    if (finishing_) return zimrax::PartDecision::Skip();  // no caller can decide any more
    QueuedEvent event;
    event.kind = ZIMRAX_EVENT_PART;
    event.index = part.index;
    event.info = part;
    Queue(std::move(event));
    return zimrax::PartDecision::Later();
  }
  void OnData(std::size_t index, std::span<const std::uint8_t> bytes) override {
    if (finishing_) return;
    QueuedEvent event;
    event.kind = ZIMRAX_EVENT_DATA;
    event.index = index;
    event.data.assign(bytes.begin(), bytes.end());
    Queue(std::move(event));
  }
  void OnRestart() override {
    QueuedEvent event;
    event.kind = ZIMRAX_EVENT_RESTART;
    Queue(std::move(event));
  }

  // Events queued from now on go to the front, in order (a late decision's data).
  void QueueAtFront() { insert_at_ = 0; }
  void QueueAtBack() { insert_at_.reset(); }
  void Finishing() { finishing_ = true; }
  std::deque<QueuedEvent>& Events() { return events_; }

 private:
  void Queue(QueuedEvent event) {
    if (insert_at_) {
      events_.insert(events_.begin() + static_cast<std::ptrdiff_t>((*insert_at_)++), std::move(event));
    } else {
      events_.push_back(std::move(event));
    }
  }

  std::deque<QueuedEvent> events_;
  std::optional<std::size_t> insert_at_;
  bool finishing_ = false;
};

}  // namespace

struct zimrax_parts {
  explicit zimrax_parts(zimrax::PartStreamOptions options) : stream(std::move(options), &handler) {}
  PullHandler handler;
  zimrax::PartStream stream;
  QueuedEvent current;                    // the event handed out last
  std::vector<const char*> header_lines;  // of `current`
  std::optional<std::size_t> undecided;   // the part of the last PART event, until decided
  bool body_ended = false;
  bool ended = false;

  void SkipUndecided() {
    if (!undecided) return;
    handler.QueueAtFront();
    stream.Decide(*undecided, zimrax::PartDecision::Skip());
    handler.QueueAtBack();
    undecided.reset();
  }
};

struct zimrax_parts_outcome {
  int status = 0;
  std::vector<zimrax_result> parts;
  std::vector<std::unique_ptr<zimrax::c_support::ResultStorage>> storage;
};

extern "C" {

zimrax_call zimrax_parts_new(const zimrax_parts_options* options, zimrax_parts** parts) noexcept {
  if (parts == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  *parts = nullptr;
  if (options == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  return Guarded([&] {
    zimrax::PartStreamOptions converted;
    if (options->directory != nullptr) converted.directory = options->directory;
    if (options->max_parts != 0) converted.max_parts = options->max_parts;
    if (options->max_header_bytes != 0) converted.max_header_bytes = options->max_header_bytes;
    if (options->max_first_line != 0) converted.max_first_line = options->max_first_line;
    *parts = new zimrax_parts(std::move(converted));
    return ZIMRAX_CALL_OK;
  });
}

zimrax_call zimrax_parts_feed(zimrax_parts* parts, const uint8_t* piece, size_t length) noexcept {
  if (parts == nullptr || (piece == nullptr && length > 0)) return ZIMRAX_CALL_BAD_ARGUMENT;
  if (parts->ended || parts->body_ended || parts->undecided || !parts->handler.Events().empty()) {
    return ZIMRAX_CALL_BAD_STATE;
  }
  return Guarded([&] {
    parts->stream.Feed(BytesOf(piece, length));
    return ZIMRAX_CALL_OK;
  });
}

zimrax_call zimrax_parts_end(zimrax_parts* parts) noexcept {
  if (parts == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  if (parts->ended || parts->body_ended || parts->undecided || !parts->handler.Events().empty()) {
    return ZIMRAX_CALL_BAD_STATE;
  }
  return Guarded([&] {
    parts->body_ended = true;
    parts->stream.EndBody();
    return ZIMRAX_CALL_OK;
  });
}

zimrax_call zimrax_parts_next(zimrax_parts* parts, zimrax_part_event* event) noexcept {
  if (parts == nullptr || event == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  *event = zimrax_part_event{};
  if (parts->ended) return ZIMRAX_CALL_BAD_STATE;
  return Guarded([&] {
    parts->SkipUndecided();
    auto& events = parts->handler.Events();
    if (events.empty()) return ZIMRAX_CALL_OK;  // kind NONE
    parts->current = std::move(events.front());
    events.pop_front();
    const QueuedEvent& current = parts->current;
    event->kind = current.kind;
    event->index = current.index;
    if (current.kind == ZIMRAX_EVENT_PART) {
      const zimrax::PartInfo& info = current.info;
      parts->undecided = current.index;
      event->name = info.name.c_str();
      event->name_length = info.name.size();
      event->has_file_name = info.file_name ? 1 : 0;
      event->file_name = info.file_name ? info.file_name->c_str() : "";
      event->file_name_length = info.file_name ? info.file_name->size() : 0;
      event->content_type = info.content_type.c_str();
      parts->header_lines.clear();
      for (const std::string& line : info.header_lines) parts->header_lines.push_back(line.c_str());
      event->header_lines = parts->header_lines.data();
      event->header_line_count = parts->header_lines.size();
      event->data_found = info.data_found ? 1 : 0;
    } else if (current.kind == ZIMRAX_EVENT_DATA) {
      event->data = current.data.data();
      event->data_length = current.data.size();
    } else if (current.kind == ZIMRAX_EVENT_RESTART) {
      parts->undecided.reset();
    }
    return ZIMRAX_CALL_OK;
  });
}

zimrax_call zimrax_parts_decide(zimrax_parts* parts, size_t index, int action, const char* directory, int policy,
                                size_t max_value_bytes, int tap) noexcept {
  if (parts == nullptr || action < ZIMRAX_PART_SKIP || action > ZIMRAX_PART_TAP || !KnownPolicy(policy)) {
    return ZIMRAX_CALL_BAD_ARGUMENT;
  }
  if (parts->ended || parts->undecided != index) return ZIMRAX_CALL_BAD_STATE;
  return Guarded([&] {
    zimrax::PartDecision decision;
    static constexpr zimrax::PartAction kActions[] = {zimrax::PartAction::kSkip, zimrax::PartAction::kStore,
                                                      zimrax::PartAction::kRead, zimrax::PartAction::kTap};
    decision.action = kActions[action];
    decision.tap = tap != 0;
    if (directory != nullptr) decision.directory = directory;
    decision.policy = PolicyOf(policy);
    decision.max_value_bytes = max_value_bytes;
    parts->undecided.reset();
    parts->handler.QueueAtFront();
    const bool waiting = parts->stream.Decide(index, std::move(decision));
    parts->handler.QueueAtBack();
    return waiting ? ZIMRAX_CALL_OK : ZIMRAX_CALL_BAD_STATE;
  });
}

zimrax_call zimrax_parts_finish(zimrax_parts* parts, int policy, zimrax_parts_outcome** outcome) noexcept {
  if (outcome != nullptr) *outcome = nullptr;
  if (parts == nullptr || outcome == nullptr || !KnownPolicy(policy)) return ZIMRAX_CALL_BAD_ARGUMENT;
  if (parts->ended) return ZIMRAX_CALL_BAD_STATE;
  return Guarded([&] {
    parts->handler.Finishing();
    parts->ended = true;
    const zimrax::PartStreamOutcome finished = parts->stream.Finish(PolicyOf(policy));
    auto converted = std::make_unique<zimrax_parts_outcome>();
    converted->status = static_cast<int>(finished.status);
    for (const zimrax::PartOutcome& part : finished.parts) {
      converted->storage.push_back(std::make_unique<zimrax::c_support::ResultStorage>());
      zimrax_status status = ZIMRAX_STATUS_DONE;
      if (part.status == zimrax::PartStatus::kSkipped) status = ZIMRAX_STATUS_SKIPPED;
      if (part.status == zimrax::PartStatus::kLimitExceeded) status = ZIMRAX_STATUS_LIMIT_EXCEEDED;
      if (part.status == zimrax::PartStatus::kHeaderTooLong) status = ZIMRAX_STATUS_HEADER_TOO_LONG;
      zimrax_result result{};
      zimrax::c_support::Fill(part.result, part.name, status, converted->storage.back().get(), &result);
      converted->parts.push_back(result);
    }
    *outcome = converted.release();
    return ZIMRAX_CALL_OK;
  });
}

void zimrax_parts_free(zimrax_parts* parts) noexcept { delete parts; }

int zimrax_parts_outcome_status(const zimrax_parts_outcome* outcome) noexcept {
  return outcome == nullptr ? 0 : outcome->status;
}
size_t zimrax_parts_outcome_count(const zimrax_parts_outcome* outcome) noexcept {
  return outcome == nullptr ? 0 : outcome->parts.size();
}
const zimrax_result* zimrax_parts_outcome_part(const zimrax_parts_outcome* outcome, size_t index) noexcept {
  if (outcome == nullptr || index >= outcome->parts.size()) return nullptr;
  return &outcome->parts[index];
}
void zimrax_parts_outcome_free(zimrax_parts_outcome* outcome) noexcept { delete outcome; }

}  // extern "C"
