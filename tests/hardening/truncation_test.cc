// Every test body, cut at every length, through both public operations.
//
// A prefix is what a server sees when a client stops sending; a suffix is a
// body that starts somewhere inside another one, so that its first line, the
// delimiter line, is any line at all. Each piece is copied into a buffer of
// exactly its size, so that a read past its end is caught under ASan. Every
// outcome must be the one the reference model gives, and ZmFileSave may
// leave a file only when it reports success, holding exactly the model's
// bytes (outcome_checks.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "multipart_model.h"
#include "outcome_checks.h"

namespace zimrax {
namespace {

using check::Policy;

struct SampleBody {
  std::string stem;
  std::vector<std::uint8_t> bytes;
  std::vector<std::string> names;  // the field names it holds, then one it lacks
};

// The field names that `body` holds, in body order, without repeats.
std::vector<std::string> FieldNames(const std::string& body) {
  const std::string disposition = "Content-Disposition: form-data; name=\"";
  std::vector<std::string> names;
  for (std::size_t at = body.find(disposition); at != std::string::npos; at = body.find(disposition, at + 1)) {
    const std::size_t start = at + disposition.size();
    const std::size_t end = body.find('"', start);
    if (end == std::string::npos) break;
    const std::string name = body.substr(start, end - start);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  names.push_back("absent");
  return names;
}

std::vector<SampleBody> LoadBodies() {
  std::vector<SampleBody> bodies;
  for (const auto& entry : std::filesystem::directory_iterator(ZIMRAX_HARDENING_BODIES)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bodies.push_back({entry.path().stem().string(), std::vector<std::uint8_t>(text.begin(), text.end()),
                      FieldNames(text)});
  }
  std::sort(bodies.begin(), bodies.end(), [](const SampleBody& a, const SampleBody& b) { return a.stem < b.stem; });
  return bodies;
}

const std::vector<SampleBody>& Bodies() {
  static const std::vector<SampleBody> bodies = LoadBodies();
  return bodies;
}

std::vector<std::uint8_t> Piece(const std::vector<std::uint8_t>& body, std::size_t start, std::size_t end) {
  return std::vector<std::uint8_t>(body.begin() + static_cast<std::ptrdiff_t>(start),
                                   body.begin() + static_cast<std::ptrdiff_t>(end));
}

// Every prefix (cut = length) and every suffix (cut = first byte kept).
enum class Cut { kPrefix, kSuffix };

std::vector<std::uint8_t> CutAt(const std::vector<std::uint8_t>& body, Cut cut, std::size_t at) {
  return cut == Cut::kPrefix ? Piece(body, 0, at) : Piece(body, at, body.size());
}

class CutBodyTest : public ::testing::TestWithParam<Cut> {};

TEST_P(CutBodyTest, FormFieldValueMatchesTheModelAtEveryCut) {
  ASSERT_GE(Bodies().size(), 20u);
  std::set<check::Ending> endings;
  for (const SampleBody& body : Bodies()) {
    for (std::size_t at = 0; at <= body.bytes.size(); ++at) {
      const std::vector<std::uint8_t> piece = CutAt(body.bytes, GetParam(), at);
      for (const std::string& name : body.names) {
        check::Ending ending;
        ASSERT_EQ("", check::FormFieldValue(piece, name, &ending))
            << body.stem << " cut at " << at << ", field " << name;
        endings.insert(ending);
      }
    }
  }
  // The sweep reaches every way the operation can end.
  EXPECT_EQ((std::set<check::Ending>{-9, 0, 101, 102, 104, 105}), endings);
}

TEST_P(CutBodyTest, FileSaveMatchesTheModelAtEveryCut) {
  check::SaveSandbox sandbox;
  ASSERT_TRUE(sandbox.ok());
  constexpr Policy kPolicies[] = {Policy::kError, Policy::kOverwrite, Policy::kMakeUnique, Policy::kOmitted};
  std::set<check::Ending> endings;
  for (const SampleBody& body : Bodies()) {
    for (std::size_t at = 0; at <= body.bytes.size(); ++at) {
      const std::vector<std::uint8_t> piece = CutAt(body.bytes, GetParam(), at);
      for (std::size_t n = 0; n < body.names.size(); ++n) {
        const std::string& name = body.names[n];
        sandbox.Reset();
        // Every fourth cut meets a file already standing at the stored name.
        if (at % 4 == 3) {
          const model::ScanResult scan = model::FileSaveScan(std::string(piece.begin(), piece.end()), name);
          sandbox.Place(model::StoredName(scan.client_name), model::Entry::kFile);
        }
        const Policy policy = kPolicies[(at + n) % 4];
        ASSERT_EQ("", sandbox.Save(piece, name, policy))
            << body.stem << " cut at " << at << ", field " << name << ", policy " << static_cast<int>(policy);
        endings.insert(sandbox.LastEnding());
      }
    }
  }
  // The prefixes reach every way the operation can end; a suffix may not.
  const std::set<check::Ending> all{-9, 0, 101, 102, 103, 104, 105, 106};
  if (GetParam() == Cut::kPrefix) {
    EXPECT_EQ(all, endings);
  }
  EXPECT_TRUE(std::includes(all.begin(), all.end(), endings.begin(), endings.end()));
}

INSTANTIATE_TEST_SUITE_P(PrefixAndSuffix, CutBodyTest, ::testing::Values(Cut::kPrefix, Cut::kSuffix),
                         [](const ::testing::TestParamInfo<Cut>& info) {
                           return info.param == Cut::kPrefix ? "Prefix" : "Suffix";
                         });

// The model is only worth comparing with when it gets the documented cases
// right on its own; these pin it to them.
TEST(ReferenceModelTest, AgreesWithTheDocumentedCases) {
  const auto body_named = [](const std::string& stem) {
    for (const SampleBody& body : Bodies()) {
      if (body.stem == stem) return std::string(body.bytes.begin(), body.bytes.end());
    }
    return std::string();
  };
  const std::string worked = body_named("edge_worked_example");
  ASSERT_EQ(196u, worked.size());

  EXPECT_EQ("Q3", model::FormFieldValue(worked, "title").value);
  EXPECT_EQ("C:\\Reports\\q3.csv", model::FormFieldValue(worked, "doc").value);
  EXPECT_EQ(102, model::FormFieldValue(worked, "absent").code);
  EXPECT_EQ(101, model::FormFieldValue(worked.substr(0, 184), "absent").code);

  const model::SaveResult saved = model::FileSave(worked, "doc", "error", {});
  EXPECT_EQ("q3.csv", saved.stored_name);
  EXPECT_EQ("1,2\r\n3,4", saved.data);
  const model::Directory taken{{"q3.csv", model::Entry::kFile}};
  EXPECT_EQ("q3(1).csv", model::FileSave(worked, "doc", "makeunique", taken).stored_name);
  EXPECT_EQ(106, model::FileSave(worked, "doc", "error", taken).code);
  EXPECT_EQ(103, model::FileSave(worked, "title", "error", {}).code);

  // Without a later delimiter a value runs through the body's last byte.
  const std::string cut = "--b\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\nhello";
  EXPECT_EQ("hello", model::FormFieldValue(cut, "v").value);
  EXPECT_EQ("archive.tar(1).gz", model::NumberedName("archive.tar.gz", 1));
  EXPECT_EQ("readme(1).", model::NumberedName("readme", 1));
  EXPECT_EQ("(1).profile", model::NumberedName(".profile", 1));
  EXPECT_EQ("q3.csv", model::StoredName("C:\\x/y\\q3.csv"));
  EXPECT_TRUE(model::IsBadStoredName(".."));
  EXPECT_FALSE(model::IsBadStoredName("a"));
}

}  // namespace
}  // namespace zimrax
