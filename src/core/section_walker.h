// The walk from section to section that every field's search shares. The
// wanted name only decides where a field's search stops; the delimiter
// lines, disposition texts and names found on the way are the same for
// every field. So one walker reads them as the body streams by, and reports
// each section name; a field whose name it is starts reading there.
//
// It keeps what the whole-body rules look back for: the bytes of the name
// just read (the next delimiter is searched from the name's start), whether
// a quote follows a name too long to match, and, for a body whose first
// line is empty or missing, whether any NUL byte came at all.
//
// Each byte is searched once. Where a field's reader searches the data of
// the section just walked for the same delimiter, from where the walker's
// own search stands with nothing matched, the walker takes the reader's
// answer for those bytes (Listener::DelimiterSearchOf) instead of searching
// them again. After a delimiter followed by "--" (the closing delimiter
// line, and at most its CR LF) the walk stops; anything after that takes it
// up again where it stopped, so the answers do not change.
#ifndef ZIMRAX_CORE_SECTION_WALKER_H_
#define ZIMRAX_CORE_SECTION_WALKER_H_

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/checked.h"
#include "core/section_reader.h"
#include "scanner/stream_search.h"
#include "zimrax/result_code.h"

namespace zimrax {

class SectionWalker {
 public:
  struct Section {
    ByteView name;         // as the locator compares it: the quote stand-in for a name over 120 bytes
    Position name_end;     // where a field with this name starts reading
    std::size_t index;     // 0 for the first section walked
    // The bytes from name_end on that the walker has already taken, in
    // order: a reader started at name_end takes these first.
    std::span<const ByteView> backlog;
  };

  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void OnSection(const Section& section) = 0;
    // Every section reported so far was walked on an assumption that the
    // body has now proved wrong; the walk starts again.
    virtual void OnRestart() = 0;
    // The search a reader of section `index` (the last one reported) runs
    // for the delimiter after its data, or nullptr. It lives until the
    // next OnRestart.
    virtual const DelimiterSearch* DelimiterSearchOf(std::size_t index) const = 0;
  };

  // How the walk ends for a field it never matched.
  struct Ending {
    ResultCode code = ResultCode::kOk;  // 101 or 102
    RuntimeError fault = RuntimeError::kNone;
    // Fields matched at or after this section are void too: the walk
    // faulted there, on a name with no closing quote anywhere after it.
    std::optional<std::size_t> faulted_at;
  };

  // `boundary` is the delimiter line, `body_begins_at` the position of the
  // first byte the walker is given. REQUIRES: `boundary` and `listener`
  // outlive the walker.
  SectionWalker(const SearchPattern* boundary, bool stand_in_boundary, Position body_begins_at, Listener* listener);

  // Takes the next bytes of the body.
  void Consume(ByteView bytes);

  // How the walk ends, once the body has ended.
  Ending Finish() const;

  // True while bytes to come can still change what was reported: no NUL
  // has come yet for a one-NUL delimiter, or a long name waits for a quote.
  bool Unsettled() const { return watch_first_nul_ || unclosed_at_.has_value(); }

  // The names walked, as they stand in the body (a long one cut at 121 bytes).
  const std::vector<std::string>& Names() const { return names_; }
  bool MoreNames() const { return more_names_; }

 private:
  // kEnding: just after a delimiter, reading what may be "--" CR LF.
  enum class State { kDelimiter, kEnding, kClosed, kDisposition, kName };
  static constexpr std::size_t kNameWindow = 121;  // the longest name that can match, and its quote

  void Process(ByteView bytes);
  // In kDelimiter: takes the bytes of `rest` a reader's search has covered,
  // or limits `rest` to where such a search begins. Returns the bytes taken.
  std::size_t TakeShared(ByteView& rest);
  // After a delimiter's last byte.
  void DelimiterFound();
  // Goes on to the disposition text after the bytes of "--" CR LF read.
  void ResumeAfterEnding();
  // `name` is what fields are compared with, `name_length` how far past the
  // name's start a reader starts, `shown` the bytes reported as its name.
  void NameRead(ByteView name, std::size_t name_length, ByteView shown, ByteView rest);
  void Restart(Position disposition_from);

  Listener* listener_;
  State state_ = State::kDisposition;
  StreamSearch delimiter_;
  StreamSearch disposition_;
  Position position_;            // of the next byte to process
  std::size_t skip_ = 0;         // bytes to pass over before searching
  bool watch_first_nul_ = false; // the delimiter is one NUL byte, and none has come yet
  Position name_start_ = 0;
  std::array<std::uint8_t, kNameWindow> name_{};
  std::size_t name_length_ = 0;
  std::size_t sections_ = 0;
  // kDelimiter takes the search of a reader of the current section, once
  // asked for it.
  bool shared_ = false;
  const DelimiterSearch* reader_search_ = nullptr;
  std::size_t ending_read_ = 0;  // bytes of "--" CR LF read in kEnding and kClosed
  std::optional<std::size_t> unclosed_at_;  // a long name with no quote after it yet
  Position quote_closes_from_ = 0;          // a quote from here on closes it
  std::vector<ByteView> following_;         // what comes after the bytes being replayed
  std::vector<std::string> names_;
  bool more_names_ = false;
};

}  // namespace zimrax

#endif  // ZIMRAX_CORE_SECTION_WALKER_H_
