// The nesting check that guards the TOML parser's recursion: brackets
// inside any kind of string or comment never count, and none outside can
// hide behind a string that already ended.
#include "config/toml_nesting.h"

#include <gtest/gtest.h>

#include <string>

namespace zimrax::zmfile {
namespace {

TEST(TomlNestingTest, CountsOnlyBracketsOutsideStringsAndComments) {
  const struct {
    const char* name;
    std::string text;
    int limit;
    std::size_t line;  // 0: within the limit
  } kCases[] = {
      {"within", "a = [[1], {b = [2]}]\n", 3, 0},
      {"one past", "a = [[1], {b = [2]}]\n", 2, 1},
      {"table headers", "[a]\nb = 1\n[[c]]\n", 2, 0},
      {"deep on a later line", "a = 1\n\nb = [[[[1]]]]\n", 3, 3},
      {"basic string", "a = \"[[[[[[{{{{\"\n", 1, 0},
      {"escaped quote stays inside", "a = \"\\\"[[[[[[\"\n", 1, 0},
      {"escaped backslash ends the string", "a = [\"\\\\\", [[[1]]]]\n", 3, 1},
      {"literal string has no escapes", "a = ['C:\\', [[[1]]]]\n", 3, 1},
      {"closing brackets in a string lower nothing", "a = [[[\"]]]]]]\", [1]]]]\n", 3, 1},
      {"multi-line basic", "a = \"\"\"\n[[[[[[\n\"\"\"\nb = [[1]]\n", 1, 4},
      {"multi-line basic ending in an extra quote", "a = [\"\"\"x\"\"\"\", [[[1]]]]\n", 3, 1},
      {"multi-line literal", "a = '''\n[[[[[[\n'''\nb = [[1]]\n", 1, 4},
      {"multi-line literal ending in extra quotes", "a = ['''x'''', [[[1]]]]\n", 3, 1},
      {"backslash at a line's end in a multi-line string", "a = \"\"\"x\\\n[[[[\"\"\"\nb = [[1]]\n", 1, 3},
      {"comment", "# [[[[[[ \"\n", 1, 0},
      {"quote in a comment opens nothing", "a = 1 # don't\nb = [[1]]\n", 1, 2},
      {"an unclosed basic string ends at its line", "a = \"[[[[\nb = [[1]]\n", 1, 2},
      {"unbalanced closing never goes below zero", "]]]]]]]]\na = [[1]]\n", 1, 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LineNestedDeeperThan(c.text, c.limit), c.line);
  }
}

TEST(TomlNestingTest, CountsValueSeparatorsOutsideStringsAndComments) {
  const struct {
    const char* name;
    std::string text;
    std::size_t limit;
    std::size_t line;  // 0: within the limit
  } kCases[] = {
      {"keys", "a = 1\nb = 2\nc = 3\n", 3, 0},
      {"one key past", "a = 1\nb = 2\nc = 3\n", 2, 3},
      {"array items", "a = [1, 2,\n 3]\n", 3, 0},
      {"array items past", "a = [1, 2,\n 3, 4]\n", 3, 2},
      {"in strings and comments", "a = \"=,=,\" # ,,,,\nb = '''\n,,,'''\n", 2, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LineWithMoreValuesThan(c.text, c.limit), c.line);
  }
}

}  // namespace
}  // namespace zimrax::zmfile
