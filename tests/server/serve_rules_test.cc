// zmfile serve's upload rules and digest as a client meets them: a table
// of multipart forms against servers with --max-file-size, --max-files and
// the type rules, each case checking the status, every "Files" entry, the
// log's reason and the folder's contents; and each digest against
// sha256sum of the stored file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "server_process.h"

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* kBoundary = "rulesBoundary7Kp2";

const std::string kPng = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x02\0\0\0", 29);
const std::string kGif = std::string("GIF89a\1\0\1\0\x80\0\0", 13) + std::string(20, '\0');
const std::string kPhp = "<?php system($_GET['c']); ?>\n";
const std::string kHtml = "<!DOCTYPE html><html><body><script>alert(1)</script></body></html>\n";
const std::string kSvg = "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1\" height=\"1\"></svg>\n";

struct SentFile {
  std::string field, name, data;
};

struct RuleCase {
  std::string label;
  std::vector<SentFile> files;
  int status;
  // Per field: "stored", or the RefusedKind it must carry.
  std::map<std::string, std::string> entries;
  std::string reason;  // a piece of the log line's reason=, "" for none
  std::set<std::string> folder;
};

class ServeRulesTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& args) {
    uploads_ = root_.path() / ("uploads" + std::to_string(++servers_));
    server_ = std::make_unique<ServerProcess>(uploads_, args, root_.path() / ("server" + std::to_string(servers_)));
    ASSERT_TRUE(server_->ok()) << server_->Log();
  }

  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Interrupt(), 0) << server_->Log();
    }
  }

  HttpAnswer Upload(const std::vector<SentFile>& files) {
    std::vector<FormPart> parts;
    for (const SentFile& file : files) parts.push_back({file.field, file.data, true, file.name});
    const std::string request = UploadRequest(server_->port(), kBoundary, MultipartBody(kBoundary, parts));
    return ParseHttpAnswer(RawExchange(server_->port(), request));
  }

  std::set<std::string> Folder() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(uploads_)) names.insert(entry.path().filename().string());
    return names;
  }

  // The log line of the last request.
  std::string LastRequestLine() const {
    const std::string log = server_->Log();
    const std::size_t at = log.rfind(" POST /upload ");
    if (at == std::string::npos) return "";
    const std::size_t start = log.rfind('\n', at);
    return log.substr(start == std::string::npos ? 0 : start + 1, log.find('\n', at) - start - 1);
  }

  // Runs each case on a fresh folder's server, checking everything the client and operator see.
  void RunTable(const std::vector<std::string>& args, const std::vector<RuleCase>& cases) {
    for (const RuleCase& c : cases) {
      SCOPED_TRACE(c.label);
      if (server_) {
        EXPECT_EQ(server_->Interrupt(), 0);
      }
      Start(args);
      const HttpAnswer answer = Upload(c.files);
      EXPECT_EQ(answer.status, c.status) << answer.body;
      const Json json = Json::parse(answer.body, nullptr, false);
      ASSERT_TRUE(json.is_object()) << answer.body;
      ASSERT_EQ(json["Files"].size(), c.files.size()) << answer.body;
      for (const Json& entry : json["Files"]) {
        const std::string field = entry["Field"];
        const std::string expected = c.entries.at(field);
        if (expected == "stored") {
          EXPECT_EQ(entry["ErrorCode"], 0) << entry.dump();
          EXPECT_FALSE(entry.contains("Refused")) << entry.dump();
        } else {
          EXPECT_EQ(entry.value("RefusedKind", ""), expected) << entry.dump();
          EXPECT_TRUE(entry["ErrorCode"].is_null()) << entry.dump();
          EXPECT_EQ(entry["Message"], entry["Refused"]) << "the entry says why";
          const int status = expected == "file-type" ? 415 : 413;
          EXPECT_NE(server_->Log().find(field + " refused with " + std::to_string(status) + ": "), std::string::npos)
              << server_->Log();
        }
      }
      const std::string line = LastRequestLine();
      if (c.reason.empty()) {
        EXPECT_EQ(line.find(" reason="), std::string::npos) << line;
      } else {
        EXPECT_NE(line.find(" reason=\"" + c.reason), std::string::npos) << line;
      }
      EXPECT_EQ(Folder(), c.folder) << "no other file, and no temporary file, is left";
    }
  }

  TempDir root_;
  int servers_ = 0;
  fs::path uploads_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(ServeRulesTest, SizeAndCountRules) {
  const std::string small(100, 's');
  const std::string limit(1024, 'l');
  const std::string big = RandomBytes(300000, 5);
  const std::string too_large = "The file is larger than this server takes per file, 1024 bytes (1K).";
  const std::string too_many = "The form holds more files than this server takes from one form, 2.";
  RunTable({"--max-file-size", "1K", "--max-files", "2"},
           {
               {"at the size limit", {{"upload1", "limit.bin", limit}}, 200, {{"upload1", "stored"}}, "", {"limit.bin"}},
               {"one byte past it",
                {{"upload1", "over.bin", limit + "!"}},
                413,
                {{"upload1", "file-too-large"}},
                too_large,
                {}},
               {"a large file between two small ones: the form is read on",
                {{"upload1", "a.txt", small}, {"upload2", "big.bin", big}, {"upload3", "c.txt", small}},
                413,
                {{"upload1", "stored"}, {"upload2", "file-too-large"}, {"upload3", "stored"}},
                too_large,
                {"a.txt", "c.txt"}},
               {"the third and fourth files are past the count",
                {{"upload1", "1.txt", small}, {"upload2", "2.txt", small}, {"upload3", "3.txt", small},
                 {"upload4", "4.txt", small}},
                413,
                {{"upload1", "stored"}, {"upload2", "stored"}, {"upload3", "too-many-files"},
                 {"upload4", "too-many-files"}},
                too_many,
                {"1.txt", "2.txt"}},
               {"a refused file does not count",
                {{"upload1", "big.bin", big}, {"upload2", "2.txt", small}, {"upload3", "3.txt", small}},
                413,
                {{"upload1", "file-too-large"}, {"upload2", "stored"}, {"upload3", "stored"}},
                too_large,
                {"2.txt", "3.txt"}},
           });
}

TEST_F(ServeRulesTest, AllowAndDenyTypes) {
  RunTable({"--allow-types", "image/*", "--deny-types", ".svg,.PHP"},
           {
               {"an image", {{"upload1", "p.png", kPng}}, 200, {{"upload1", "stored"}}, "", {"p.png"}},
               {"an image under any extension", {{"upload1", "p.dat", kGif}}, 200, {{"upload1", "stored"}}, "",
                {"p.dat"}},
               {"text is not an image",
                {{"upload1", "t.png", "just text\n"}, {"upload2", "g.gif", kGif}},
                415,
                {{"upload1", "file-type"}, {"upload2", "stored"}},
                "The file's content is text/plain, which is not accepted here; accepted: image/*.",
                {"g.gif"}},
               {"a large text file is refused at its first bytes, the form read on",
                {{"upload1", "huge.png", std::string(3 << 20, 'w')}, {"upload2", "p.png", kPng}},
                415,
                {{"upload1", "file-type"}, {"upload2", "stored"}},
                "The file's content is text/plain, which is not accepted here; accepted: image/*.",
                {"p.png"}},
               {"a denied extension, in another case, though its content is an image",
                {{"upload1", "x.SVG", kSvg}, {"upload2", "y.Php", kPng}},
                415,
                {{"upload1", "file-type"}, {"upload2", "file-type"}},
                "Files ending in .svg are not accepted here.",
                {}},
           });
}

TEST_F(ServeRulesTest, StrictTypesRefuseContentThatContradictsItsExtension) {
  RunTable({"--strict-types", "--deny-types", "text/x-php"},
           {
               {"matching and undecided content",
                {{"upload1", "notes.txt", "plain notes\n"}, {"upload2", "img.png", kPng},
                 {"upload3", "data.bin", RandomBytes(5000, 9)}, {"upload4", "README", kHtml}},
                200,
                {{"upload1", "stored"}, {"upload2", "stored"}, {"upload3", "stored"}, {"upload4", "stored"}},
                "",
                {"notes.txt", "img.png", "data.bin", "README"}},
               {"a script under an image's name",
                {{"upload1", "photo.jpg", kPhp}, {"upload2", "page.jpg", kHtml}, {"upload3", "ok.gif", kGif}},
                415,
                {{"upload1", "file-type"}, {"upload2", "file-type"}, {"upload3", "stored"}},
                "The file's content is text/x-php, which is not accepted here.",
                {"ok.gif"}},
               {"an image under a text name",
                {{"upload1", "img.txt", kPng}},
                415,
                {{"upload1", "file-type"}},
                "The file's content is image/png, which does not match its extension .txt.",
                {}},
           });
}

// The digest in the answer and the log is sha256sum's of the file stored,
// empty and large files included; refused files have none.
TEST_F(ServeRulesTest, DigestMatchesTheStoredFile) {
  Start({"--digest", "sha256", "--max-file-size", "4M"});
  const std::vector<SentFile> files = {{"upload1", "large.bin", RandomBytes(3 << 20, 11)},
                                       {"upload2", "empty.txt", ""},
                                       {"upload3", "over.bin", RandomBytes((4 << 20) + 1, 12)},
                                       {"upload4", "crlf.txt", "\r\n--" + std::string(kBoundary) + "x\r\n"}};
  const HttpAnswer answer = Upload(files);
  EXPECT_EQ(answer.status, 413) << answer.body;
  const Json json = Json::parse(answer.body, nullptr, false);
  ASSERT_EQ(json["Files"].size(), 4u) << answer.body;
  std::vector<std::string> digests;
  for (const Json& entry : json["Files"]) {
    if (entry["Field"] == "upload3") {
      EXPECT_FALSE(entry.contains("Sha256")) << entry.dump();
      continue;
    }
    const std::string stored = entry["Result"];
    const CommandResult sum = RunCommand({"sha256sum", (uploads_ / stored).string()});
    ASSERT_EQ(sum.exit_status, 0);
    EXPECT_EQ(entry.value("Sha256", ""), sum.out.substr(0, 64)) << stored;
    digests.push_back(sum.out.substr(0, 64));
  }
  EXPECT_EQ(digests.size(), 3u);
  EXPECT_EQ(Folder(), (std::set<std::string>{"large.bin", "empty.txt", "crlf.txt"}));
  const std::string line = LastRequestLine();
  EXPECT_NE(line.find(" stored=\"large.bin/empty.txt/crlf.txt\" sha256=" + digests[0] + "/" + digests[1] + "/" +
                      digests[2] + " "),
            std::string::npos)
      << line;
}

// Off by default: no digest anywhere.
TEST_F(ServeRulesTest, NoDigestUnlessAskedFor) {
  Start({});
  const HttpAnswer answer = Upload({{"upload1", "a.txt", "a"}});
  EXPECT_EQ(answer.status, 200);
  EXPECT_FALSE(Json::parse(answer.body)["Files"][0].contains("Sha256")) << answer.body;
  EXPECT_EQ(LastRequestLine().find("sha256="), std::string::npos) << LastRequestLine();
}

}  // namespace
}  // namespace zimrax::testing
