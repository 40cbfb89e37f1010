// Which file fields of a form came from a file input left empty ("no file
// chosen"): a browser sends such an input as a part with filename="" and
// no data. Read alongside the component, from the same body pieces.
//
// The library's FormStream will report each file part's byte count; until
// the server reads it there, this finds the one shape that matters: a part
// whose headers end right before the next delimiter line.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UNCHOSEN_FILE_INPUTS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UNCHOSEN_FILE_INPUTS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zimrax::zmfile {

class UnchosenFileInputs {
 public:
  // REQUIRES: max_first_line bounds the form's first line, as for the component.
  explicit UnchosenFileInputs(std::size_t max_first_line) : max_first_line_(max_first_line) {}

  // Takes the next piece of the body.
  void Feed(std::span<const std::uint8_t> piece);
  // True when the form has a part named `field` with filename="" and no
  // data bytes.
  bool Unchosen(std::string_view field) const;

 private:
  // The headers before a part's empty data end within this many bytes of
  // its delimiter line; longer ones are never an empty input's.
  static constexpr std::size_t kWindow = 8 * 1024;

  void Search(std::string_view piece);
  void NoteEmptyPart(std::string_view before);

  const std::size_t max_first_line_;
  std::string first_line_;
  bool first_line_done_ = false;
  std::string delimiter_;  // the first line without its CR LF
  std::string pattern_;    // end of headers, no data, the next delimiter
  std::optional<std::boyer_moore_horspool_searcher<std::string::const_iterator>> searcher_;
  std::string window_;  // the last kWindow + pattern bytes before the current piece
  std::vector<std::string> unchosen_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UNCHOSEN_FILE_INPUTS_H_
