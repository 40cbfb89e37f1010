// The streaming form against the whole-body operations: the same outcome
// for every field, the same files byte for byte, nothing left behind, on
// the real captured bodies, the hostile bodies and the edge bodies, cut
// into pieces of every kind and at every offset around a delimiter.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/section_reader.h"
#include "scanner/stream_search.h"
#include "hostile_bodies.h"
#include "stream_equivalence.h"

namespace zimrax {
namespace {

using hostile::Body;

struct NamedBody {
  std::string what;
  Body body;
};

Body BodyOf(const std::string& text) { return Body(text.begin(), text.end()); }

std::vector<NamedBody> CapturedBodies() {
  std::vector<NamedBody> bodies;
  for (const auto& entry : std::filesystem::directory_iterator(ZIMRAX_HARDENING_BODIES)) {
    std::ifstream in(entry.path(), std::ios::binary);
    bodies.push_back({entry.path().filename().string(),
                      Body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())});
  }
  return bodies;
}

std::vector<NamedBody> EdgeBodies() {
  const std::string d = hostile::kDisposition;
  std::vector<NamedBody> bodies = {
      {"leading CR LF, no NUL", BodyOf("\r\n" + d + "a\"; filename=\"a.txt\"\r\n\r\nno nul here\r\n" + d + "b\"\r\n\r\nbb")},
      {"leading CR LF, NUL late",
       BodyOf("\r\n" + d + "a\"; filename=\"x.txt\"\r\n\r\nfirst" + std::string(1, '\0') + d +
              "a\"; filename=\"y.txt\"\r\n\r\nsecond" + std::string(1, '\0') + "tail")},
      {"leading CR LF, NUL first", BodyOf(std::string(1, '\0') + "\r\n" + d + "a\"\r\n\r\nv" + std::string(1, '\0'))},
      {"no CR LF at all", BodyOf("--b" + d + "a\"; filename=\"n.txt\"\n\ndata" + std::string(1, '\0') + "z")},
      {"long name, quote later", BodyOf("--b\r\n" + d + std::string(130, 'n') + "\r\n\r\nx\r\n--b\r\n" + d + "a\"\r\n\r\nafter\"\r\n--b--\r\n")},
      {"long name, no quote later", BodyOf("--b\r\n" + d + "a\"\r\n\r\nfirst\r\n--b\r\n" + d + std::string(200, 'n') + "\r\n\r\n--b--\r\n")},
      {"two long names, a quote only between",
       BodyOf("--b\r\n" + d + std::string(130, 'n') + "\r\n\r\nx\r\n--b\r\n" + d + std::string(130, 'm') + "\r\n\r\n")},
      {"empty section name", BodyOf("--b\r\n" + d + "\"; filename=\"e.txt\"\r\n\r\nempty name\r\n--b--\r\n")},
      {"name of 120 bytes", BodyOf("--b\r\n" + d + std::string(120, 'm') + "\"\r\n\r\nm\r\n--b--\r\n")},
      {"unclosed file name", BodyOf("--b\r\n" + d + "f\"; filename=\"never closed\r\n\r\ndata")},
      {"file name without line end", BodyOf("--b\r\n" + d + "f\"; filename=\"a.txt\"")},
      {"file name on a later line", BodyOf("--b\r\n" + d + "f\"\r\nX: filename=\"a.txt\"\r\n\r\nplain\r\n--b--\r\n")},
      {"delimiter inside a name", BodyOf("--b\r\n" + d + "x--b\"\r\n\r\n1\r\n--b\r\n" + d + "y\"\r\n\r\n2\r\n--b--\r\n")},
      {"bad stored names", BodyOf("--b\r\n" + d + "a\"; filename=\"dir/\"\r\n\r\n1\r\n--b\r\n" + d +
                                  "b\"; filename=\"..\"\r\n\r\n2\r\n--b\r\n" + d + "c\"; filename=\"x\\" +
                                  std::string(300, 'L') + "\"\r\n\r\n3\r\n--b--\r\n")},
      {"two files of one name", BodyOf("--b\r\n" + d + "f\"; filename=\"same.txt\"\r\n\r\none\r\n--b\r\n" + d +
                                       "g\"; filename=\"same.txt\"\r\n\r\ntwo\r\n--b--\r\n")},
      {"ends on its delimiter", BodyOf("--b\r\n" + d + "f\"; filename=\"e.txt\"\r\n\r\nab\r\n--b")},
      {"empty data, empty value", BodyOf("--b\r\n" + d + "f\"; filename=\"z.txt\"\r\n\r\n\r\n--b\r\n" + d + "v\"\r\n\r\n\r\n--b--\r\n")},
      {"no blank line", BodyOf("--b\r\n" + d + "f\"; filename=\"q.txt\"\r\nContent-Type: x\r\n")},
      // The walk stops after a closing delimiter line and must take up
      // again whatever follows it.
      {"sections after the closing line",
       BodyOf("--b\r\n" + d + "a\"\r\n\r\n1\r\n--b--\r\n--b\r\n" + d + "f\"; filename=\"late.txt\"\r\n\r\nlate\r\n--b--\r\n")},
      {"a section right after \"--\"", BodyOf("--b\r\n" + d + "a\"\r\n\r\n1\r\n--b--" + d + "f\"; filename=\"x.txt\"\r\n\r\nx")},
      {"closing line, then a stray byte", BodyOf("--b\r\n" + d + "f\"; filename=\"s.txt\"\r\n\r\ns\r\n--b--\r\n\r\n")},
      {"closing line without its CR LF", BodyOf("--b\r\n" + d + "f\"; filename=\"n.txt\"\r\n\r\nn\r\n--b--")},
      {"closing line cut short", BodyOf("--b\r\n" + d + "f\"; filename=\"c.txt\"\r\n\r\nc\r\n--b-")},
  };
  for (const std::string& token : hostile::NearBoundaryTokens()) {
    bodies.push_back({"near-boundary file " + token.substr(0, 12),
                      hostile::SingleSection(token, "f", "near.bin", hostile::NearBoundaries(token, 9000))});
    bodies.push_back({"near-boundary value " + token.substr(0, 12),
                      hostile::SingleSection(token, "v", "", hostile::NearBoundaries(token, 3000))});
  }
  bodies.push_back({"filter-defeating", hostile::LineSection(hostile::kFilterDefeatingLine, "f", "fd.bin",
                                                             hostile::FilterDefeating(9000))});
  bodies.push_back({"tiny sections", hostile::TinySections(300, "last", "l.txt")});
  bodies.push_back({"without CR LF, file", hostile::WithoutCrLf(3000, true)});
  bodies.push_back({"without CR LF, plain", hostile::WithoutCrLf(3000, false)});
  bodies.push_back({"long section name", hostile::LongSectionName(300)});
  bodies.push_back({"random", hostile::RandomBytes(5000, 3)});
  return bodies;
}

// The names the sections of `body` carry, as far as plain text shows them,
// and names that match nothing or only odd sections.
std::vector<std::string> NamesIn(const Body& body) {
  std::set<std::string> names = {"missing", "\"", "upload1", std::string(1, '\0'), ""};
  const std::string text(body.begin(), body.end());
  const std::string key = "name=\"";
  for (std::size_t at = text.find(key); at != std::string::npos && names.size() < 12; at = text.find(key, at + 1)) {
    const std::size_t start = at + key.size();
    const std::size_t quote = text.find('"', start);
    if (quote != std::string::npos && quote - start <= 120) names.insert(text.substr(start, quote - start));
  }
  return std::vector<std::string>(names.begin(), names.end());
}

std::vector<check::StreamCase> CasesFor(const Body& body) {
  const std::vector<std::string> names = NamesIn(body);
  std::vector<check::StreamCase> cases;
  for (const ConflictPolicy policy : {ConflictPolicy::kError, ConflictPolicy::kOverwrite, ConflictPolicy::kMakeUnique}) {
    for (const bool up_front : {false, true}) {
      check::StreamCase c;
      c.policy = policy;
      c.policy_up_front = up_front;
      for (const std::string& name : names) {
        c.file_fields.push_back(name);
        c.value_fields.push_back({name, up_front ? std::size_t{4} : std::size_t{64} << 10});
      }
      cases.push_back(c);
    }
  }
  // Names already taken, and a first line over a small cap.
  check::StreamCase taken = cases[0];
  taken.occupied = {"a.txt", "same.txt", "near.bin", "q3.csv", "f.txt"};
  cases.push_back(taken);
  taken.policy = ConflictPolicy::kMakeUnique;
  taken.occupied.push_back("same(1).txt");
  cases.push_back(taken);
  check::StreamCase capped = cases[1];
  capped.max_first_line = 3;
  cases.push_back(capped);
  return cases;
}

void ExpectEquivalent(const std::vector<NamedBody>& bodies, std::initializer_list<std::uint32_t> seeds) {
  check::StreamSandbox sandbox;
  ASSERT_TRUE(sandbox.ok());
  for (const NamedBody& b : bodies) {
    for (const check::StreamCase& c : CasesFor(b.body)) {
      for (const std::uint32_t seed : seeds) {
        const std::string broken = sandbox.Compare(b.body, c, seed);
        ASSERT_EQ(broken, "") << b.what << ", policy " << ConflictPolicyName(c.policy)
                              << (c.policy_up_front ? " up front" : " at finish") << ", seed " << seed;
      }
    }
  }
}

TEST(FormStreamDifferentialTest, CapturedBodies) { ExpectEquivalent(CapturedBodies(), {0, 1, 2, 3}); }

TEST(FormStreamDifferentialTest, EdgeAndHostileBodies) { ExpectEquivalent(EdgeBodies(), {0, 5, 6}); }

// A body whose file data is over a gathering's worth, so that data is
// written before its end is known, cut in two and in three at every offset
// around the delimiter that ends it.
Body LargeFileBody(const std::string& token, std::size_t data_size) {
  return hostile::SingleSection(token, "f", "big.bin", hostile::NearBoundaries(token, data_size));
}

std::string CutsAroundTheEnd(const Body& body, std::size_t data_end, std::size_t reach) {
  check::StreamSandbox sandbox;
  check::StreamCase c;
  c.file_fields = {"f"};
  c.value_fields = {{"f", 100}};
  for (std::size_t cut = data_end - 4; cut <= data_end + reach && cut < body.size(); ++cut) {
    for (const std::vector<std::size_t>& sizes : {std::vector<std::size_t>{cut, body.size() - cut},
                                                  std::vector<std::size_t>{cut, 1, body.size() - cut - 1}}) {
      const std::string broken = sandbox.Compare(body, c, sizes, true);
      if (!broken.empty()) return broken + " (cut at " + std::to_string(cut) + ")";
    }
  }
  return "";
}

TEST(FormStreamDifferentialTest, EveryCutAroundTheDataEnd) {
  for (const std::string& token : {std::string("b"), hostile::NearBoundaryTokens()[0], hostile::NearBoundaryTokens()[2]}) {
    const Body body = LargeFileBody(token, 100 * 1024);
    const std::size_t data_end = body.size() - (2 + token.size() + 2 + 2 + 2);  // before CR LF "--" token "--" CR LF
    EXPECT_EQ(CutsAroundTheEnd(body, data_end, token.size() + 8), "") << token;
  }
}

// Each byte of file data is searched once: the walk from section to section
// takes the file reader's search for the delimiter instead of searching the
// data again, also with every field of an upload form asked for.
TEST(FormStreamDifferentialTest, FileDataIsSearchedOnce) {
  const std::string token = hostile::NearBoundaryTokens()[0];
  const Body body = LargeFileBody(token, 4 << 20);
  testing::ScopedTempDir dir;
  for (const bool whole_form : {false, true}) {
    FormStreamOptions options;
    options.directory = dir.path().string();
    options.file_fields = {"f"};
    options.value_fields = {{"f", 1024}, {"conflict", 64}};
    for (int i = 1; whole_form && i <= 100; ++i) {
      options.file_fields.push_back("upload" + std::to_string(i));
      options.value_fields.push_back({"upload" + std::to_string(i), 1024});
    }
    for (const std::uint32_t seed : {0u, 4u}) {
      options.policy = ConflictPolicy::kMakeUnique;
      FormStream stream(options);
      ScannedBytesForTesting() = 0;
      std::size_t done = 0;
      for (const std::size_t size : check::PieceSizes(body.size(), seed)) {
        stream.Feed(std::span(body).subspan(done, size));
        done += size;
      }
      const FormStreamOutcome outcome = stream.Finish();
      const std::uint64_t scanned = ScannedBytesForTesting();
      ASSERT_TRUE(outcome.files[0].result.ok()) << outcome.files[0].result.text;
      EXPECT_TRUE(stream.FormComplete());
      EXPECT_LT(scanned, body.size() + body.size() / 100) << "seed " << seed << (whole_form ? ", upload form" : "");
    }
  }
}

// The seam: one byte less held back in front of a possible delimiter lets
// its CR LF into the file, and the differential check must see it.
TEST(FormStreamDifferentialTest, CheckFailsWhenTheHoldBackIsOneByteShort) {
  const std::string token = hostile::NearBoundaryTokens()[0];
  const Body body = LargeFileBody(token, 100 * 1024);
  const std::size_t data_end = body.size() - (2 + token.size() + 2 + 2 + 2);
  HoldBackAdjustmentForTesting() = -1;
  const std::string broken = CutsAroundTheEnd(body, data_end, token.size() + 8);
  HoldBackAdjustmentForTesting() = 0;
  EXPECT_NE(broken, "");
  EXPECT_EQ(CutsAroundTheEnd(body, data_end, token.size() + 8), "");
}

}  // namespace
}  // namespace zimrax
