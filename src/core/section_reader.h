// Reads one located section as the body streams by, for one field: whether
// its header line carries a file name, the file name, where its data
// starts, and the data up to the next delimiter line, with the same answers
// as the whole-body readers. What it finds goes to a sink.
//
// The end of the data is known only when the delimiter line has come, and
// the two bytes in front of it (its CR LF) are not data. So the bytes that
// may still turn out to be that CR LF or the start of the delimiter are held
// back, never more than the delimiter's length and two.
//
// The search for that delimiter goes on to its end even when the sink
// wants no more data: it counts the data, and the section walker takes its
// answer instead of searching the same bytes again (DelimiterSearch).
#ifndef ZIMRAX_CORE_SECTION_READER_H_
#define ZIMRAX_CORE_SECTION_READER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/position.h"
#include "scanner/stream_search.h"

namespace zimrax {

class SectionSink {
 public:
  virtual ~SectionSink() = default;
  virtual void FileNameBytes(ByteView bytes) = 0;  // the next bytes between the file name's quotes
  virtual void FileNameEnd() = 0;                  // its closing quote
  // The data starts here. Returns false when the sink wants no data.
  virtual bool DataStart() = 0;
  // The next bytes of data, `first` then `second`. Returns false when the
  // sink wants no more.
  virtual bool Data(ByteView first, ByteView second) = 0;
};

// How far a reader's search for the delimiter after its data has got, in
// body positions.
struct DelimiterSearch {
  Position from = 0;        // it began here, with nothing matched
  Position scanned_to = 0;  // every byte before this is searched
  std::size_t partial = 0;  // the partial match there
  bool matched = false;     // a match ends at scanned_to
};

class SectionReader {
 public:
  // A file field reads on from its file name to its data; a value field
  // stops at its file name, or reads the data of a plain field; a part of a
  // walk over every part reads the data of either.
  enum class Mode { kFile, kValue, kPart };

  // `begins_at` is the position of the first byte it is given (name_end).
  // REQUIRES: `delimiter` and `sink` outlive the reader.
  SectionReader(Mode mode, const SearchPattern* delimiter, SectionSink* sink, Position begins_at);

  // Takes the next bytes of the body, starting with the byte at begins_at.
  void Consume(ByteView bytes);

  // The body has ended: data that no delimiter ended runs through its last
  // byte and goes to the sink now.
  void Finish();

  // What the reading found, in the whole-body terms.
  bool LineEnds() const { return line_ends_; }                 // a CR LF follows the name on its line
  bool HasFileName() const { return has_file_name_ && line_ends_; }
  bool FileNameClosed() const { return file_name_closed_; }
  bool DataStarted() const { return data_started_; }
  bool Done() const { return state_ == State::kDone; }

  // The search for the delimiter that ends the data, once the data started
  // (nullptr before); it lives as long as the reader.
  const DelimiterSearch* Search() const { return data_started_ ? &search_ : nullptr; }
  // The number of data bytes, once the data started: so far, or all of them
  // once the delimiter came or the body ended. Counted whether or not the
  // sink took them.
  std::optional<std::uint64_t> DataBytes() const;

 private:
  enum class State { kHeaderLine, kFileName, kDataStart, kData, kDone };

  // `bytes` starts at body position `at`.
  void ConsumeData(ByteView bytes, Position at);
  // Hands `count` bytes of held_ + `bytes` to the sink, keeps the rest held.
  void Emit(ByteView bytes, std::size_t count);

  Mode mode_;
  SectionSink* sink_;
  State state_ = State::kHeaderLine;
  StreamSearch line_end_;
  StreamSearch file_name_text_;
  StreamSearch blank_line_;
  StreamSearch delimiter_;
  bool line_ends_ = false;
  bool has_file_name_ = false;
  bool file_name_closed_ = false;
  bool data_started_ = false;
  bool emitting_ = true;            // the sink takes data
  Position position_;               // of the next byte given
  DelimiterSearch search_;          // valid once data_started_
  std::uint64_t data_bytes_ = 0;    // searched so far; the data's length once the delimiter matched
  std::vector<std::uint8_t> held_;  // data bytes not handed on yet, in order
};

// Test seam: added to the number of bytes held back in front of a possible
// delimiter (normally its partial match and two). Only tests change it.
int& HoldBackAdjustmentForTesting();

}  // namespace zimrax

#endif  // ZIMRAX_CORE_SECTION_READER_H_
