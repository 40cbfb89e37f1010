// Path forming and the stored name, rewritten to stay linear on names of
// megabytes, must keep their rules exactly.
#include <gtest/gtest.h>

#include <string>

#include "storage/destination_path.h"

namespace zimrax {
namespace {

TEST(DestinationPathTest, StoredNameIsTheLastPieceAtEitherSeparator) {
  const struct {
    std::string client, stored;
  } cases[] = {
      {"q3.csv", "q3.csv"},       {"C:\\Reports\\q3.csv", "q3.csv"}, {"a/b\\c", "c"},
      {"a\\b/c", "c"},            {"dir\\", ""},                       {"/", ""},
      {"", ""},                   {"\\\\server\\share\\x", "x"},       {"..\\..\\etc/passwd", "passwd"},
      {"name.with.dots", "name.with.dots"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.stored, StoredNameOf(c.client)) << c.client;
}

TEST(DestinationPathTest, FormPathReducesEachPairOfSlashesOnce) {
  const struct {
    std::string directory, name, path;
  } cases[] = {
      {"/srv/up", "a.txt", "/srv/up/a.txt"}, {"/srv/up/", "a.txt", "/srv/up/a.txt"},
      {"//share", "a", "/share/a"},          {"", "a", "/a"},
      {"/x//", "a", "/x//a"},                {"/x///", "a", "/x//a"},
      {"a////b", "c", "a//b/c"},             {"/", "a", "/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.path, FormPath(c.directory, c.name)) << c.directory;
}

}  // namespace
}  // namespace zimrax
