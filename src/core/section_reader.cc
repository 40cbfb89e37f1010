#include "core/section_reader.h"

#include <algorithm>
#include <cstring>

#include "scanner/section_header_readers.h"

namespace zimrax {
namespace {

constexpr std::uint8_t kQuote = '"';
// Pieces at least this large are written straight from the caller's bytes;
// smaller ones are gathered until this much is ready.
constexpr std::size_t kGather = std::size_t{64} << 10;

const SearchPattern& Pattern(std::string_view text) {
  // Each call site passes one literal; the patterns live for the process.
  return *new SearchPattern(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

const SearchPattern& LineEndPattern() {
  static const SearchPattern& pattern = Pattern("\r\n");
  return pattern;
}
const SearchPattern& FileNamePattern() {
  static const SearchPattern& pattern = Pattern(kFilenameText);
  return pattern;
}
const SearchPattern& BlankLinePattern() {
  static const SearchPattern& pattern = Pattern("\r\n\r\n");
  return pattern;
}

}  // namespace

int& HoldBackAdjustmentForTesting() {
  static int adjustment = 0;
  return adjustment;
}

SectionReader::SectionReader(Mode mode, const SearchPattern* delimiter, SectionSink* sink, Position begins_at)
    : mode_(mode),
      sink_(sink),
      line_end_(&LineEndPattern()),
      file_name_text_(&FileNamePattern()),
      blank_line_(&BlankLinePattern()),
      delimiter_(delimiter),
      position_(begins_at) {}

std::optional<std::uint64_t> SectionReader::DataBytes() const {
  if (!data_started_) return std::nullopt;
  return data_bytes_;
}

void SectionReader::Consume(ByteView bytes) {
  // A file name counts only on a line that ends: look for that CR LF while
  // it has not come, whatever else is read.
  if (state_ != State::kHeaderLine && !line_ends_ && has_file_name_) {
    line_ends_ = line_end_.Scan(bytes) != kNoMatch;
  }
  std::size_t offset = 0;
  while (offset < bytes.size() && state_ != State::kDone) {
    const ByteView rest = bytes.subspan(offset);
    switch (state_) {
      case State::kHeaderLine: {
        // The file name text counts when it begins before the line's CR LF;
        // it holds no CR, so it then also ends before it.
        const std::size_t line_end = line_end_.Scan(rest);
        const std::size_t text_end =
            file_name_text_.Scan(line_end == kNoMatch ? rest : rest.first(line_end));
        if (text_end != kNoMatch) {
          has_file_name_ = true;
          line_ends_ = line_end != kNoMatch;
          state_ = State::kFileName;
          offset += text_end;
        } else if (line_end != kNoMatch) {
          line_ends_ = true;
          offset += line_end;
          if (mode_ == Mode::kFile) {
            state_ = State::kDone;  // no file name: nothing more to read
          } else {
            // A plain field: its data follows the first blank line, which
            // begins with the CR LF just found at the earliest.
            state_ = State::kDataStart;
            blank_line_.Reset(2);
          }
        } else {
          offset = bytes.size();
        }
        break;
      }
      case State::kFileName: {
        const void* quote = std::memchr(rest.data(), kQuote, rest.size());
        const std::size_t length =
            quote == nullptr ? rest.size() : static_cast<std::size_t>(static_cast<const std::uint8_t*>(quote) - rest.data());
        if (length > 0) sink_->FileNameBytes(rest.first(length));
        offset += length;
        if (quote == nullptr) break;
        ++offset;
        file_name_closed_ = true;
        sink_->FileNameEnd();
        if (mode_ == Mode::kValue) {
          state_ = State::kDone;
        } else {
          state_ = State::kDataStart;
          blank_line_.Reset();
        }
        break;
      }
      case State::kDataStart: {
        const std::size_t end = blank_line_.Scan(rest);
        if (end == kNoMatch) {
          offset = bytes.size();
          break;
        }
        offset += end;
        data_started_ = true;
        search_.from = search_.scanned_to = position_ + static_cast<Position>(offset);
        emitting_ = sink_->DataStart();
        state_ = State::kData;
        delimiter_.Reset();
        break;
      }
      case State::kData:
        ConsumeData(rest, position_ + static_cast<Position>(offset));
        offset = bytes.size();
        break;
      case State::kDone: break;
    }
  }
  position_ += static_cast<Position>(bytes.size());
}

void SectionReader::ConsumeData(ByteView bytes, Position at) {
  const std::size_t end = delimiter_.Scan(bytes);
  search_.scanned_to = at + static_cast<Position>(end == kNoMatch ? bytes.size() : end);
  search_.partial = delimiter_.Partial();
  if (end != kNoMatch) {
    // The delimiter begins `length` bytes before `end`, possibly among the
    // held bytes; the data stops two bytes before it.
    const std::size_t length = delimiter_.Length();
    const std::uint64_t through_match = data_bytes_ + end;
    data_bytes_ = through_match >= length + 2 ? through_match - length - 2 : 0;
    search_.matched = true;
    if (emitting_) {
      const std::size_t before = held_.size() + end;  // bytes from the first held one to the match's end
      Emit(bytes.first(end), before >= length + 2 ? before - length - 2 : 0);
    }
    held_.clear();
    state_ = State::kDone;
    return;
  }
  data_bytes_ += bytes.size();
  if (!emitting_) return;
  const long keep = static_cast<long>(delimiter_.Partial()) + 2 + HoldBackAdjustmentForTesting();
  const std::size_t total = held_.size() + bytes.size();
  const std::size_t ready = keep <= 0 ? total : total - std::min(total, static_cast<std::size_t>(keep));
  if (bytes.size() < kGather && ready < kGather) {
    // Gather small pieces: one write per kGather bytes, not per piece.
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    return;
  }
  Emit(bytes, ready);
}

void SectionReader::Emit(ByteView bytes, std::size_t count) {
  const std::size_t from_held = std::min(count, held_.size());
  const std::size_t from_bytes = count - from_held;
  if (count > 0 && !sink_->Data(ByteView(held_).first(from_held), bytes.first(from_bytes))) {
    emitting_ = false;  // the search goes on without it
    held_.clear();
    return;
  }
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(from_held));
  held_.insert(held_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from_bytes), bytes.end());
}

void SectionReader::Finish() {
  if (state_ != State::kData) return;
  // No delimiter line came: the data runs through the body's last byte.
  if (emitting_ && !held_.empty()) sink_->Data(held_, {});
  held_.clear();
  state_ = State::kDone;
}

}  // namespace zimrax
