// PartStream's bounds and reporting, case by case: each bound ends in its
// own outcome and leaves the other parts as they would be without it; the
// header lines are reported as sent; a restart voids what was reported.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_data.h"
#include "zimrax/part_stream.h"

namespace zimrax {
namespace {

using testing::AsBytes;
using testing::Close;
using testing::Field;
using testing::FileField;

// Stores file parts, reads the others; records what it was offered.
class Recorder final : public PartHandler {
 public:
  PartDecision OnPart(const PartInfo& part) override {
    offered.push_back(part);
    return part.file_name ? PartDecision::Store() : PartDecision::Read(8);
  }
  void OnRestart() override { ++restarts; }
  std::vector<PartInfo> offered;
  int restarts = 0;
};

struct WalkRun {
  PartStreamOutcome outcome;
  std::vector<PartInfo> offered;
  int restarts = 0;
};

WalkRun Walk(const std::string& body, PartStreamOptions options, std::size_t piece = 3) {
  Recorder recorder;
  WalkRun run;
  {
    PartStream stream(options, &recorder);
    for (std::size_t at = 0; at < body.size(); at += piece) {
      stream.Feed(AsBytes(body).subspan(at, std::min(piece, body.size() - at)));
    }
    run.outcome = stream.Finish(ConflictPolicy::kMakeUnique);
  }
  run.offered = recorder.offered;
  run.restarts = recorder.restarts;
  return run;
}

std::vector<PartStatus> Statuses(const PartStreamOutcome& outcome) {
  std::vector<PartStatus> statuses;
  for (const PartOutcome& part : outcome.parts) statuses.push_back(part.status);
  return statuses;
}

TEST(PartStreamBoundsTest, EachBoundHasItsOutcome) {
  const std::string long_header =
      "--B\r\nContent-Disposition: form-data; name=\"h\"; filename=\"h.txt\"\r\nX-Long: " + std::string(100, 'x') +
      "\r\n\r\nhdata\r\n";
  const std::string body =
      Field("a", "short") + long_header + Field("b", "much too long") + FileField("f", "f.txt", "file data") + Close();
  struct Case {
    const char* what;
    std::size_t max_parts;
    std::size_t max_header_bytes;
    std::size_t max_first_line;
    PartStreamStatus status;
    std::vector<PartStatus> parts;
  };
  const std::vector<Case> cases = {
      {"no bound passed",
       10,
       1000,
       100,
       PartStreamStatus::kOk,
       {PartStatus::kDone, PartStatus::kDone, PartStatus::kLimitExceeded, PartStatus::kDone}},
      {"too many parts", 2, 1000, 100, PartStreamStatus::kTooManyParts, {PartStatus::kDone, PartStatus::kDone}},
      {"a header too long",
       10,
       60,
       100,
       PartStreamStatus::kOk,
       {PartStatus::kDone, PartStatus::kHeaderTooLong, PartStatus::kLimitExceeded, PartStatus::kDone}},
      {"a first line too long", 10, 1000, 2, PartStreamStatus::kFirstLineTooLong, {}},
  };
  for (const Case& c : cases) {
    testing::ScopedTempDir dir;
    PartStreamOptions options;
    options.directory = dir.path().string();
    options.max_parts = c.max_parts;
    options.max_header_bytes = c.max_header_bytes;
    options.max_first_line = c.max_first_line;
    const WalkRun run = Walk(body, options);
    EXPECT_EQ(run.outcome.status, c.status) << c.what;
    EXPECT_EQ(Statuses(run.outcome), c.parts) << c.what;
    // A part over the header cap is never offered; the others are, in order.
    std::size_t expected_offers = 0;
    for (const PartStatus status : c.parts) expected_offers += status != PartStatus::kHeaderTooLong;
    EXPECT_EQ(run.offered.size(), expected_offers) << c.what;
    // The last file part is stored whole whatever the bounds before it did.
    if (c.parts.size() == 4) {
      EXPECT_EQ(run.outcome.parts[3].result.stored_name, "f.txt") << c.what;
      EXPECT_EQ(run.outcome.parts[3].data_bytes, 9u) << c.what;
    }
  }
}

TEST(PartStreamBoundsTest, HeadersAreReportedAsSent) {
  const std::string body =
      "--B\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"C:\\a\\r.pdf\"\r\n"
      "content-type:  application/pdf \r\nX-One: 1\r\nX-Two: 2\r\n\r\npdf\r\n" +
      Field("plain", "v") + Close();
  testing::ScopedTempDir dir;
  PartStreamOptions options;
  options.directory = dir.path().string();
  const WalkRun run = Walk(body, options, 1);
  ASSERT_EQ(run.offered.size(), 2u);
  EXPECT_EQ(run.offered[0].name, "doc");
  EXPECT_EQ(run.offered[0].file_name, "C:\\a\\r.pdf");
  EXPECT_EQ(run.offered[0].content_type, "application/pdf");
  EXPECT_EQ(run.offered[0].header_lines, (std::vector<std::string>{"X-One: 1", "X-Two: 2"}));
  EXPECT_EQ(run.offered[1].file_name, std::nullopt);
  EXPECT_EQ(run.offered[1].content_type, "");
  EXPECT_TRUE(run.outcome.form_complete);
  EXPECT_EQ(run.outcome.parts[0].result.stored_name, "r.pdf");
}

TEST(PartStreamBoundsTest, ARestartVoidsThePartsReported) {
  // No first line: the delimiter is one NUL byte, which comes late.
  const std::string body = "\r\nContent-Disposition: form-data; name=\"a\"; filename=\"a.txt\"\r\n\r\nfirst" +
                           std::string(1, '\0') + "Content-Disposition: form-data; name=\"b\"\r\n\r\nsecond";
  testing::ScopedTempDir dir;
  PartStreamOptions options;
  options.directory = dir.path().string();
  const WalkRun run = Walk(body, options, 1);
  EXPECT_EQ(run.restarts, 1);
  // "a" was offered (and stored) before the NUL came; the new walk starts
  // at the NUL, as the operations do, and finds only "b".
  EXPECT_EQ(run.offered.front().name, "a");
  ASSERT_EQ(run.outcome.parts.size(), 1u);
  EXPECT_EQ(run.outcome.parts[0].name, "b");
  EXPECT_EQ(run.outcome.parts[0].result.text, FormFieldValue(AsBytes(body), "b").text);
  EXPECT_EQ(FileSave(AsBytes(body), "a", dir.path().string(), ConflictPolicy::kError).code, 101);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a.txt"));  // the voided part was not published
}

}  // namespace
}  // namespace zimrax
