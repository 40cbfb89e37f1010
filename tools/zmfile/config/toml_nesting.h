// The shape of a TOML text, found before the parser sees it: how deep it
// nests arrays and inline tables (the parser descends one call per level
// and would run out of stack on a few thousand) and how many values it
// holds (the parser's time grows with their square).
#ifndef ZIMRAX_TOOLS_ZMFILE_CONFIG_TOML_NESTING_H_
#define ZIMRAX_TOOLS_ZMFILE_CONFIG_TOML_NESTING_H_

#include <cstddef>
#include <string_view>

namespace zimrax::zmfile {

// Returns 0 when no bracket or brace of `text` outside strings and comments
// opens a level deeper than `limit`, else the 1-based line of the first that
// does. Strings are followed as TOML writes them (basic with escapes,
// literal, and both multi-line forms), so a bracket inside one never counts
// and one outside never hides.
std::size_t LineNestedDeeperThan(std::string_view text, int limit);

// Returns 0 when `text` has at most `limit` value separators (= and ,)
// outside strings and comments, else the 1-based line of the first past it.
// A key's value or an array's item each take at most one.
std::size_t LineWithMoreValuesThan(std::string_view text, std::size_t limit);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_CONFIG_TOML_NESTING_H_
