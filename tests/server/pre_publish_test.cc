// The pre-publish check of an upload (file_facts.h), where hooks decide:
// it sees each file that passed the rules with the facts gathered as the
// body streamed, and what it refuses is removed, never published, while the
// other files are stored; a check that throws refuses them all.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/upload_report.h"
#include "server/upload_stream.h"
#include "server_process.h"
#include "support/one_shot_sha256.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;
using testing::FormPart;

constexpr const char* kBoundary = "prePublishBoundary";

UploadReport RunUpload(const fs::path& dir, const std::vector<FormPart>& parts, const UploadLimits& limits) {
  const std::string body = testing::MultipartBody(kBoundary, parts);
  UploadStream upload(dir.string(), "makeunique", limits);
  for (std::size_t at = 0; at < body.size(); at += 1000) {
    upload.Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()) + at,
                                              std::min<std::size_t>(1000, body.size() - at)));
  }
  return upload.Finish();
}

std::set<std::string> Entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

TEST(PrePublishTest, SeesTheFactsOfFilesThatPassedTheRulesAndRefusesSome) {
  testing::TempDir dir;
  UploadRules rules;
  rules.max_file_size = 50000;
  rules.RequireDigest();
  rules.RequireContentType();
  const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x02\0\0\0", 29);
  const std::string text = testing::RandomBytes(20000, 4);
  std::vector<PrePublish> seen;
  UploadLimits limits;
  limits.rules = &rules;
  limits.before_publish = [&seen](PrePublish& upload) {
    seen.push_back(upload);
    for (FileFacts& file : upload.files) {
      if (file.stored_name == "refuse-me.txt") file.refusal = Refusal{403, "not today", RefusalKind::kRequest};
    }
  };
  const UploadReport report = RunUpload(dir.path(),
                                        {{"conflict", "error", false, ""},
                                         {"comment", "hello", false, ""},
                                         {"upload1", png, true, "C:\\pics\\p.png"},
                                         {"upload2", std::string(50001, 'x'), true, "big.bin"},
                                         {"upload3", "no thanks", true, "refuse-me.txt"},
                                         {"upload4", text, true, "t.bin"}},
                                        limits);
  ASSERT_EQ(seen.size(), 1u);
  const PrePublish& upload = seen.front();
  EXPECT_EQ(upload.comment, "hello");
  EXPECT_EQ(upload.conflict, "error");
  ASSERT_EQ(upload.files.size(), 3u) << "the file past the size limit is not offered";
  EXPECT_EQ(upload.files[0].field, "upload1");
  EXPECT_EQ(upload.files[0].client_name, "C:\\pics\\p.png");
  EXPECT_EQ(upload.files[0].stored_name, "p.png");
  EXPECT_EQ(upload.files[0].size, png.size());
  EXPECT_EQ(upload.files[0].mime_type, "image/png");
  EXPECT_EQ(upload.files[0].sha256, testing::OneShotSha256(png));
  EXPECT_EQ(upload.files[2].field, "upload4");
  EXPECT_EQ(upload.files[2].sha256, testing::OneShotSha256(text));
  EXPECT_EQ(upload.files[2].size, text.size());

  EXPECT_EQ(HttpStatusOf(report), 413) << "upload2's status comes first";
  ASSERT_EQ(report.files.size(), 4u);
  EXPECT_EQ(HttpStatusOfFile(report.files[0]), 200);
  EXPECT_EQ(report.files[1].refusal->kind, RefusalKind::kFileTooLarge);
  EXPECT_EQ(report.files[2].refusal->status, 403);
  EXPECT_EQ(report.files[2].refusal->message, "not today");
  EXPECT_EQ(HttpStatusOfFile(report.files[3]), 200);
  EXPECT_EQ(DigestsStoredBy(report), testing::OneShotSha256(png) + "/" + testing::OneShotSha256(text));
  EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"p.png", "t.bin"}));
  EXPECT_TRUE(testing::ReadFileBytes(dir.path() / "t.bin") == text);
}

TEST(PrePublishTest, ACheckThatThrowsRefusesEveryFileAndStoresNothing) {
  testing::TempDir dir;
  UploadLimits limits;
  limits.before_publish = [](PrePublish&) { throw std::runtime_error("hook runner broke"); };
  const UploadReport report =
      RunUpload(dir.path(), {{"upload1", "a", true, "a.txt"}, {"upload2", "b", true, "b.txt"}}, limits);
  EXPECT_EQ(HttpStatusOf(report), 500);
  for (const FileReport& file : report.files) {
    ASSERT_TRUE(file.refusal);
    EXPECT_EQ(file.refusal->message, "Internal error: hook runner broke");
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace zimrax::zmfile
