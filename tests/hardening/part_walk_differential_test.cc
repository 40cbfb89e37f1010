// Walking every part against the named-field operations: random bodies
// (well formed, with names that repeat, odd file names, headers, data full
// of CR LF and near-delimiters, cut short, with a one-NUL delimiter),
// fed in random pieces; storing (or reading) the first part of each name
// must give exactly FileSave's (FormFieldValue's) outcomes and files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "part_walk_equivalence.h"
#include "stream_equivalence.h"

namespace zimrax {
namespace {

using Body = std::vector<std::uint8_t>;

// A random form: a few parts whose names come from a small pool, so that
// they repeat, with file names that store, collide or are refused.
class RandomForm {
 public:
  explicit RandomForm(std::uint32_t seed) : rng_(seed) {}

  std::string Make() {
    const bool stand_in = Pick(8) == 0;
    const std::string delimiter =
        stand_in ? "" : "--" + Choose({"b", "XyZ123", "----WebKitFormBoundary7MA4YWxk", "aa"});
    std::string body = delimiter;
    const std::size_t parts = 1 + Pick(6);
    for (std::size_t i = 0; i < parts; ++i) {
      body += "\r\n";
      if (Pick(10) == 0) body += "Content-Type: text/plain\r\n";
      body += "Content-Disposition: form-data; name=\"" + Choose({"a", "b", "upload", "f", "", "x y"}) + "\"";
      if (Pick(2) == 0) {
        body += "; filename=\"" +
                Choose({"a.txt", "same.txt", "dir\\client\\p.bin", "..", "dir/", "", "q.csv", "n\x01.txt",
                        std::string(300, 'L')}) +
                "\"";
      }
      body += "\r\n";
      if (Pick(3) == 0) body += "Content-Type: " + Choose({"image/png", "text/plain; charset=utf-8"}) + "\r\n";
      if (Pick(5) == 0) body += "X-Other: 1\r\n";
      body += Pick(12) == 0 ? "\r\n" : "\r\n\r\n";
      body += Data(delimiter);
      body += "\r\n" + (stand_in && Pick(2) == 0 ? std::string(1, '\0') : delimiter);
    }
    if (Pick(4) != 0) body += "--\r\n";
    if (Pick(6) == 0) body.resize(Pick(body.size() + 1));  // a client that stopped early
    return body;
  }

 private:
  std::size_t Pick(std::size_t n) { return n == 0 ? 0 : rng_() % n; }
  std::string Choose(std::initializer_list<std::string> options) {
    return *(options.begin() + static_cast<std::ptrdiff_t>(Pick(options.size())));
  }
  std::string Data(const std::string& delimiter) {
    std::string data;
    const std::size_t pieces = Pick(6);
    for (std::size_t i = 0; i < pieces; ++i) {
      switch (Pick(6)) {
        case 0:
          data += "\r\n";
          break;
        case 1:
          data += "\r\n" + delimiter.substr(0, Pick(delimiter.size() + 1));
          break;
        case 2:
          data += "\"";
          break;
        case 3:
          data += std::string(Pick(3000), static_cast<char>('a' + Pick(3)));
          break;
        case 4:
          data += std::string(1, '\0');
          break;
        default:
          for (std::size_t n = Pick(40); n > 0; --n) data += static_cast<char>(rng_());
          break;
      }
    }
    return data;
  }

  std::mt19937 rng_;
};

std::vector<check::PartWalkCase> Cases() {
  std::vector<check::PartWalkCase> cases;
  for (const ConflictPolicy policy :
       {ConflictPolicy::kError, ConflictPolicy::kOverwrite, ConflictPolicy::kMakeUnique}) {
    check::PartWalkCase c;
    c.policy = policy;
    cases.push_back(c);
    c.policy_in_decision = true;
    c.decide_later = true;
    cases.push_back(c);
  }
  check::PartWalkCase taken = cases[0];
  taken.occupied = {"a.txt", "same.txt", "p.bin"};
  cases.push_back(taken);
  taken.policy = ConflictPolicy::kMakeUnique;
  taken.occupied.push_back("same(1).txt");
  cases.push_back(taken);
  check::PartWalkCase values;
  values.read_values = true;
  cases.push_back(values);
  values.value_cap = 5;
  values.decide_later = true;
  cases.push_back(values);
  return cases;
}

std::string CheckAll(const Body& body, std::uint32_t seed) {
  check::PartWalkSandbox sandbox;
  for (const check::PartWalkCase& c : Cases()) {
    for (const std::uint32_t cut : {0u, seed + 1}) {
      const std::string broken = sandbox.Compare(body, c, check::PieceSizes(body.size(), cut));
      if (!broken.empty()) {
        return broken + " (policy " + std::string(ConflictPolicyName(c.policy)) + (c.read_values ? ", values" : "") +
               (c.decide_later ? ", decided later" : "") + ", cut " + std::to_string(cut) + ")";
      }
    }
  }
  return "";
}

TEST(PartWalkDifferentialTest, RandomForms) {
  for (std::uint32_t seed = 1; seed <= 150; ++seed) {
    const std::string text = RandomForm(seed).Make();
    const Body body(text.begin(), text.end());
    ASSERT_EQ(CheckAll(body, seed), "") << "seed " << seed;
  }
}

TEST(PartWalkDifferentialTest, CapturedBodies) {
  for (const auto& entry : std::filesystem::directory_iterator(ZIMRAX_HARDENING_BODIES)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const Body body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(CheckAll(body, 3), "") << entry.path().filename();
  }
}

// The check itself: a walk that stored the last part of a repeated name
// instead of the first would differ from FileSave.
TEST(PartWalkDifferentialTest, CheckSeesTheWrongPartOfARepeatedName) {
  const std::string text =
      "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"one.txt\"\r\n\r\n1\r\n"
      "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"two.txt\"\r\n\r\n2\r\n--b--\r\n";
  const Body body(text.begin(), text.end());
  testing::ScopedTempDir dir;
  check::PartWalkSandbox sandbox;
  ASSERT_EQ(sandbox.Compare(body, {}, {body.size()}), "");
  class Last final : public PartHandler {
    PartDecision OnPart(const PartInfo& part) override {
      return part.index == 1 ? PartDecision::Store() : PartDecision::Skip();
    }
  } last;
  PartStreamOptions options;
  options.directory = dir.path().string();
  PartStream stream(options, &last);
  stream.Feed(body);
  const PartStreamOutcome outcome = stream.Finish();
  ASSERT_EQ(outcome.parts.size(), 2u);
  EXPECT_EQ(outcome.parts[1].result.stored_name, "two.txt");
  EXPECT_NE(outcome.parts[1].result.stored_name, FileSave(body, "f", dir.path().string() + "/x").stored_name);
}

}  // namespace
}  // namespace zimrax
