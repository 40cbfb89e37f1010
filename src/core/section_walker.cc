#include "core/section_walker.h"

#include <algorithm>
#include <cstring>

#include "scanner/form_field_locator.h"
#include "zimrax/form_stream.h"

namespace zimrax {
namespace {

constexpr std::uint8_t kQuote = '"';
constexpr std::uint8_t kQuoteRun[1] = {kQuote};
constexpr std::uint8_t kEmptyRun[1] = {0};
constexpr std::uint8_t kClosingEnd[4] = {'-', '-', '\r', '\n'};

const SearchPattern& DispositionPattern() {
  static const SearchPattern* pattern = new SearchPattern(
      ByteView(reinterpret_cast<const std::uint8_t*>(kDispositionText.data()), kDispositionText.size()));
  return *pattern;
}

}  // namespace

SectionWalker::SectionWalker(const SearchPattern* boundary, bool stand_in_boundary, Position body_begins_at,
                             Listener* listener)
    : listener_(listener),
      delimiter_(boundary),
      disposition_(&DispositionPattern()),
      position_(body_begins_at) {
  // The first delimiter is the body's first line itself, so the walk starts
  // with the disposition text after it. A one-NUL delimiter (a body that
  // starts with CR LF, or has none) is searched from index 0: it is the
  // first NUL byte, or, in a body without any, index 0 itself. Until a NUL
  // comes the walk goes on as if there were none.
  if (stand_in_boundary) {
    skip_ = 1;
    watch_first_nul_ = true;
  }
}

void SectionWalker::Restart(Position disposition_from) {
  listener_->OnRestart();
  state_ = State::kDisposition;
  disposition_.Reset();
  position_ = disposition_from;
  skip_ = 0;
  sections_ = 0;
  shared_ = false;
  reader_search_ = nullptr;
  unclosed_at_.reset();
  names_.clear();
  more_names_ = false;
}

void SectionWalker::Consume(ByteView bytes) {
  const Position begins_at = position_;
  ByteView walked = bytes;
  if (watch_first_nul_) {
    const void* nul = bytes.empty() ? nullptr : std::memchr(bytes.data(), 0, bytes.size());
    if (nul != nullptr) {
      watch_first_nul_ = false;
      const std::size_t offset = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - bytes.data());
      if (begins_at + static_cast<Position>(offset) > 0) {
        Restart(begins_at + static_cast<Position>(offset) + 1);
        walked = bytes.subspan(offset + 1);
      }
    }
  }
  Process(walked);
  // A long name stays unsettled until a quote comes after its window.
  if (unclosed_at_) {
    const Position from = std::max(quote_closes_from_, begins_at);
    const std::size_t skip = static_cast<std::size_t>(from - begins_at);
    if (skip < bytes.size() && std::memchr(bytes.data() + skip, kQuote, bytes.size() - skip) != nullptr) {
      unclosed_at_.reset();
    }
  }
}

void SectionWalker::Process(ByteView bytes) {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    const ByteView rest = bytes.subspan(offset);
    if (skip_ > 0) {
      const std::size_t n = std::min(skip_, rest.size());
      skip_ -= n;
      offset += n;
      position_ += static_cast<Position>(n);
      continue;
    }
    switch (state_) {
      case State::kDelimiter: {
        ByteView searched = rest;
        if (const std::size_t shared = TakeShared(searched); shared > 0) {
          offset += shared;
          break;
        }
        const std::size_t end = delimiter_.Scan(searched);
        const std::size_t taken = end == kNoMatch ? searched.size() : end;
        offset += taken;
        position_ += static_cast<Position>(taken);
        if (end != kNoMatch) DelimiterFound();
        break;
      }
      case State::kEnding: {
        std::size_t taken = 0;
        while (taken < rest.size() && ending_read_ < sizeof kClosingEnd && rest[taken] == kClosingEnd[ending_read_]) {
          ++taken;
          ++ending_read_;
        }
        offset += taken;
        position_ += static_cast<Position>(taken);
        if (ending_read_ == sizeof kClosingEnd) {
          state_ = State::kClosed;
        } else if (taken < rest.size()) {
          ResumeAfterEnding();  // not the closing delimiter line after all
        }
        break;
      }
      case State::kClosed:
        ResumeAfterEnding();  // more after the closing delimiter line: the walk goes on
        break;
      case State::kDisposition: {
        const std::size_t end = disposition_.Scan(rest);
        const std::size_t taken = end == kNoMatch ? rest.size() : end;
        offset += taken;
        position_ += static_cast<Position>(taken);
        if (end == kNoMatch) break;
        state_ = State::kName;
        name_start_ = position_;
        name_length_ = 0;
        break;
      }
      case State::kName: {
        const std::size_t window = std::min(kNameWindow - name_length_, rest.size());
        const void* quote = std::memchr(rest.data(), kQuote, window);
        const std::size_t taken =
            quote == nullptr ? window : static_cast<std::size_t>(static_cast<const std::uint8_t*>(quote) - rest.data()) + 1;
        std::memcpy(name_.data() + name_length_, rest.data(), taken);
        name_length_ += taken;
        offset += taken;
        position_ += static_cast<Position>(taken);
        if (quote != nullptr && name_length_ == 1) {
          // An empty name reads as the one byte 0, and its length as one:
          // a reader of it starts after its closing quote.
          NameRead(ByteView(kEmptyRun, 1), 1, ByteView(), bytes.subspan(offset));
        } else if (quote != nullptr) {
          const ByteView name(name_.data(), name_length_ - 1);
          NameRead(name, name.size(), name, bytes.subspan(offset));
        } else if (name_length_ == kNameWindow) {
          // Too long to match anything but the name made of one quote, and
          // only if a quote follows somewhere; that is settled later. An
          // earlier such name is settled already: the disposition text
          // before this name ends with a quote after that name's window.
          unclosed_at_ = sections_;
          quote_closes_from_ = position_;
          NameRead(ByteView(kQuoteRun, 1), 1, ByteView(name_.data(), name_length_), bytes.subspan(offset));
        }
        break;
      }
    }
  }
}

std::size_t SectionWalker::TakeShared(ByteView& rest) {
  if (sections_ == 0) return 0;
  if (reader_search_ == nullptr) reader_search_ = listener_->DelimiterSearchOf(sections_ - 1);
  const DelimiterSearch* search = reader_search_;
  if (search == nullptr) return 0;
  // The reader's search finds what this one would from where it began,
  // if this one had nothing matched there.
  if (!shared_ && search->from == position_ && delimiter_.Partial() == 0) shared_ = true;
  if (!shared_) {
    if (search->from > position_ && search->from < position_ + SizeOf(rest)) {
      rest = rest.first(static_cast<std::size_t>(search->from - position_));
    }
    return 0;
  }
  if (search->scanned_to <= position_) {
    // The reader is not ahead (it is, unless fed fewer bytes): search on
    // from where it stands.
    if (search->scanned_to == position_ && !search->matched) delimiter_.Reset(search->partial);
    shared_ = false;
    return 0;
  }
  const std::size_t taken = std::min(rest.size(), static_cast<std::size_t>(search->scanned_to - position_));
  position_ += static_cast<Position>(taken);
  if (search->matched && position_ == search->scanned_to) {
    DelimiterFound();
  } else if (position_ == search->scanned_to && taken < rest.size()) {
    delimiter_.Reset(search->partial);
    shared_ = false;
  }
  return taken;
}

void SectionWalker::DelimiterFound() {
  shared_ = false;
  reader_search_ = nullptr;
  state_ = State::kEnding;
  ending_read_ = 0;
}

void SectionWalker::ResumeAfterEnding() {
  state_ = State::kDisposition;
  disposition_.Reset();
  // Those bytes are too few to hold the disposition text.
  disposition_.Scan(ByteView(kClosingEnd, ending_read_));
}

void SectionWalker::NameRead(ByteView name, std::size_t name_length, ByteView shown, ByteView rest) {
  // The name's bytes, up to where the walker stands: the next delimiter is
  // searched from the name's start, and a reader starts at the name's end.
  std::array<std::uint8_t, kNameWindow> history;
  const std::size_t history_length = name_length_;
  std::memcpy(history.data(), name_.data(), history_length);
  const ByteView taken(history.data(), history_length);

  std::vector<ByteView> backlog;
  backlog.reserve(following_.size() + 2);
  backlog.push_back(taken.subspan(name_length));
  backlog.push_back(rest);
  for (auto it = following_.rbegin(); it != following_.rend(); ++it) backlog.push_back(*it);
  const std::string name_text(reinterpret_cast<const char*>(name.data()), name.size());
  Section section{ByteView(reinterpret_cast<const std::uint8_t*>(name_text.data()), name_text.size()),
                  name_start_ + static_cast<Position>(name_length), sections_, backlog};
  if (names_.size() < kMaxReportedSections) {
    names_.emplace_back(reinterpret_cast<const char*>(shown.data()), shown.size());
  } else {
    more_names_ = true;
  }
  ++sections_;
  listener_->OnSection(section);

  state_ = State::kDelimiter;
  delimiter_.Reset();
  shared_ = false;
  reader_search_ = nullptr;
  position_ = name_start_;
  following_.push_back(rest);
  Process(taken);
  following_.pop_back();
}

SectionWalker::Ending SectionWalker::Finish() const {
  Ending ending;
  if (unclosed_at_) {
    ending.fault = RuntimeError::kSubscriptOutOfRange;
    ending.faulted_at = unclosed_at_;
    return ending;
  }
  switch (state_) {
    case State::kDelimiter: ending.code = ResultCode::kFieldNameNotFound; break;
    case State::kEnding:
    case State::kClosed:
    case State::kDisposition: ending.code = ResultCode::kDispositionNotFound; break;
    case State::kName:
      ending.fault = RuntimeError::kSubscriptOutOfRange;
      ending.faulted_at = sections_;
      break;
  }
  return ending;
}

}  // namespace zimrax
