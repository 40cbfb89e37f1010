#include "config/toml_nesting.h"

namespace zimrax::zmfile {
namespace {

// Where a scan stands: in the open text, a comment, or one of the four
// kinds of string.
enum class Span { kOpen, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral };

bool StartsWith(std::string_view text, std::size_t at, std::string_view what) {
  return text.substr(at, what.size()) == what;
}

// The index just past a closing triple quote at `at`: a multi-line string
// may end with one or two more quotes of its own before the three.
std::size_t PastTripleClose(std::string_view text, std::size_t at, char quote) {
  std::size_t end = at + 3;
  for (int extra = 0; extra < 2 && end < text.size() && text[end] == quote; ++extra) ++end;
  return end;
}

// Calls `visit(c, line)` for each byte `c` of `text` outside strings and
// comments, with its 1-based line, until it returns false; returns that
// line, or 0 when it never did.
template <typename Visit>
std::size_t FirstOpenLineWhere(std::string_view text, Visit visit) {
  Span span = Span::kOpen;
  std::size_t line = 1;
  std::size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (c == '\n') ++line;
    switch (span) {
      case Span::kOpen:
        if (c == '#') {
          span = Span::kComment;
        } else if (StartsWith(text, at, "\"\"\"")) {
          span = Span::kMultiBasic;
          at += 3;
          continue;
        } else if (StartsWith(text, at, "'''")) {
          span = Span::kMultiLiteral;
          at += 3;
          continue;
        } else if (c == '"') {
          span = Span::kBasic;
        } else if (c == '\'') {
          span = Span::kLiteral;
        } else if (!visit(c, line)) {
          return line;
        }
        break;
      case Span::kComment:
        if (c == '\n') span = Span::kOpen;
        break;
      case Span::kBasic:
      case Span::kMultiBasic:
        if (c == '\\' && at + 1 < text.size()) {
          // The escaped byte is taken as it is; a line break still counts.
          if (text[at + 1] == '\n') ++line;
          at += 2;
          continue;
        }
        if (span == Span::kBasic && (c == '"' || c == '\n')) {
          // A line break ends a basic string that the parser will refuse.
          span = Span::kOpen;
        } else if (span == Span::kMultiBasic && StartsWith(text, at, "\"\"\"")) {
          span = Span::kOpen;
          at = PastTripleClose(text, at, '"');
          continue;
        }
        break;
      case Span::kLiteral:
        if (c == '\'' || c == '\n') span = Span::kOpen;
        break;
      case Span::kMultiLiteral:
        if (StartsWith(text, at, "'''")) {
          span = Span::kOpen;
          at = PastTripleClose(text, at, '\'');
          continue;
        }
        break;
    }
    ++at;
  }
  return 0;
}

}  // namespace

std::size_t LineNestedDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  return FirstOpenLineWhere(text, [&depth, limit](char c, std::size_t) {
    if (c == '[' || c == '{') return ++depth <= limit;
    if ((c == ']' || c == '}') && depth > 0) --depth;
    return true;
  });
}

std::size_t LineWithMoreValuesThan(std::string_view text, std::size_t limit) {
  std::size_t separators = 0;
  return FirstOpenLineWhere(
      text, [&separators, limit](char c, std::size_t) { return (c != '=' && c != ',') || ++separators <= limit; });
}

}  // namespace zimrax::zmfile
