#include "storage/destination_path.h"

#include <gtest/gtest.h>

#include "support/scoped_temp_dir.h"

namespace zimrax {
namespace {

using testing::ScopedTempDir;
using testing::WriteFile;

TEST(BaseNameOfClientPathTest, KeepsOnlyTheLastPieceOfAClientPath) {
  const struct {
    std::string_view client;
    std::string_view stored;
  } kCases[] = {
      {"photo.jpg", "photo.jpg"},
      {"C:\\Reports\\q3.csv", "q3.csv"},
      {"/home/me/q3.csv", "q3.csv"},
      {"..\\..\\windows\\win.ini", "win.ini"},
      {"../../etc/x", "x"},
      {"/etc/passwd", "passwd"},
      {"mixed/dirs\\and/more\\f.txt", "f.txt"},
      {"dir/", ""},
      {"dir\\", ""},
      {"a..b", "a..b"},
      {"C:evil.txt", "C:evil.txt"},  // a drive prefix is just characters here
  };
  for (const auto& c : kCases) EXPECT_EQ(BaseNameOfClientPath(c.client), c.stored) << c.client;
}

TEST(BaseNameOfClientPathTest, RefusesNamesThatLeaveOrMissTheDirectory) {
  for (std::string_view bad : {std::string_view(""), std::string_view("."), std::string_view(".."),
                               std::string_view("a\0b", 3), std::string_view("a/b")}) {
    EXPECT_FALSE(IsAcceptableStoredName(bad)) << bad;
  }
  for (std::string_view good : {"a", "...", ".profile", "notes.", "x..", "名前.txt"}) {
    EXPECT_TRUE(IsAcceptableStoredName(good)) << good;
  }
}

TEST(FormPathTest, JoinsWithOneSeparatorAndReducesDoubledOnesInOnePass) {
  const struct {
    std::string_view directory;
    std::string_view expected;
  } kCases[] = {
      {"/srv/up", "/srv/up/f.txt"},
      {"/srv/up/", "/srv/up/f.txt"},    // a trailing separator gives still one
      {"//share/up", "/share/up/f.txt"},  // a leading pair becomes one
      {"", "/f.txt"},
      {"a///b", "a//b/f.txt"},  // three become two: replacements do not overlap
      {"a////b", "a//b/f.txt"},  // four become two
      {"up//", "up//f.txt"},     // "up" + "///" + name: one pair reduced
  };
  for (const auto& c : kCases) EXPECT_EQ(FormPath(c.directory, "f.txt"), c.expected) << c.directory;
}

TEST(NumberedNameTest, NumbersTheBaseBeforeTheLastDot) {
  const struct {
    std::string_view name;
    std::int32_t number;
    std::string_view expected;
  } kCases[] = {
      {"report.pdf", 1, "report(1).pdf"},   {"report.pdf", 10, "report(10).pdf"},
      {"archive.tar.gz", 1, "archive.tar(1).gz"}, {"readme", 1, "readme(1)."},
      {".profile", 1, "(1).profile"},       {"notes.", 1, "notes(1)."},
      {"a", 32767, "a(32767)."},
  };
  for (const auto& c : kCases) EXPECT_EQ(NumberedName(c.name, c.number), c.expected) << c.name;
}

TEST(ResolveDestinationPathTest, PoliciesOtherThanMakeUniqueKeepThePlainPath) {
  ScopedTempDir dir;
  WriteFile(dir.path() / "f.txt", "old");
  for (ConflictPolicy policy : {ConflictPolicy::kError, ConflictPolicy::kOverwrite}) {
    const Checked<Destination> d = ResolveDestinationPath(dir.Path(), "f.txt", policy);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.value.path, dir.Path("f.txt"));
    EXPECT_EQ(d.value.directory, dir.Path());
    EXPECT_EQ(d.value.entry_name, "f.txt");
  }
  EXPECT_EQ(testing::ReadFile(dir.path() / "f.txt"), "old");  // resolving changes nothing on disk
}

TEST(ResolveDestinationPathTest, MakeUniqueTakesTheFirstFreeNumber) {
  ScopedTempDir dir;
  WriteFile(dir.path() / "report.pdf", "");
  EXPECT_EQ(ResolveDestinationPath(dir.Path(), "report.pdf", ConflictPolicy::kMakeUnique).value.entry_name,
            "report(1).pdf");
  for (int n = 1; n <= 9; ++n) WriteFile(dir.path() / NumberedName("report.pdf", n), "");
  const Checked<Destination> d = ResolveDestinationPath(dir.Path(), "report.pdf", ConflictPolicy::kMakeUnique);
  EXPECT_EQ(d.value.entry_name, "report(10).pdf");
  EXPECT_EQ(d.value.number, 10);
  EXPECT_EQ(ResolveDestinationPath(dir.Path(), "free.pdf", ConflictPolicy::kMakeUnique).value.entry_name, "free.pdf");
}

TEST(NextUniqueCandidateTest, CountsUpAndOverflowsPastTheLastNumber) {
  Checked<Destination> next = NextUniqueCandidate(DestinationFor("/d", "a.txt", 0));
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next.value.entry_name, "a(1).txt");
  next = NextUniqueCandidate(DestinationFor("/d", "a.txt", kMaxUniqueNumber - 1));
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next.value.entry_name, "a(32767).txt");
  EXPECT_EQ(NextUniqueCandidate(next.value).error, RuntimeError::kOverflow);
}

TEST(ResolveDestinationPathTest, RootOfAnEmptyDirectoryText) {
  const Destination d = DestinationFor("", "f.txt", 0);
  EXPECT_EQ(d.path, "/f.txt");
  EXPECT_EQ(d.directory, "/");
  EXPECT_EQ(d.entry_name, "f.txt");
}

}  // namespace
}  // namespace zimrax
