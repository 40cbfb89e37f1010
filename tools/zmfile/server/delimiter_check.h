// A warning for a form whose delimiter line is short. A file's data ends
// wherever the delimiter's bytes appear in it, even without the CR LF that
// normally comes before them (and the 2 bytes before them are dropped): with
// the boundary "B", a file holding "HEAD--BTAIL" is stored as "HE". Browsers
// and HTTP libraries pick 16 or more random characters, which never turn up
// by chance; a script with a short fixed boundary loses data silently.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_DELIMITER_CHECK_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_DELIMITER_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zimrax::zmfile {

// The fewest characters a delimiter line may have after its leading "--"
// without a warning.
inline constexpr std::size_t kMinDelimiterCharacters = 8;

// Looks at the body's first line (the form's delimiter line) as the body
// arrives, keeping at most a few bytes of it.
class DelimiterCheck {
 public:
  // Takes the next piece of the body.
  void Feed(std::span<const std::uint8_t> piece);
  // The warning for the body fed so far: "" when no byte came, or when the
  // first line (up to its first CR LF) holds at least
  // kMinDelimiterCharacters characters after a leading "--".
  std::string Warning() const;

 private:
  // Enough of the line to tell: "--", the characters, and a CR.
  static constexpr std::size_t kKept = 2 + kMinDelimiterCharacters + 1;

  std::string head_;         // the line's first bytes, at most kKept
  bool line_ended_ = false;  // its CR LF has come; head_ holds the whole line
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_DELIMITER_CHECK_H_
