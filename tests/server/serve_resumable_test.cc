// Resumable uploads (tus 1.0.0) against a real `zmfile serve` on loopback:
// a table of protocol cases with the status each must get, then the cases
// that need more than one request: completion and its outcome, a race at
// completion, two PATCHes at once, a dropped connection, another user's
// upload, expiry and the caps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

#include "server_process.h"
#include "tus_client.h"

namespace zimrax {
namespace {

namespace fs = std::filesystem;
using testing::Base64;
using testing::CreateUpload;
using testing::HeaderLines;
using testing::HttpAnswer;
using testing::Patch;
using testing::Tus;

constexpr const char* kOffsetStream = "application/offset+octet-stream";

class ServeResumableTest : public ::testing::Test {
 protected:
  explicit ServeResumableTest(std::vector<std::string> args = {"--max-body", "1M"})
      : uploads_(root_.path() / "uploads"), server_(uploads_, args, root_.path() / "server.log") {}
  void SetUp() override { ASSERT_TRUE(server_.ok()) << server_.Log(); }

  int port() const { return server_.port(); }
  std::string Staged(const std::string& location, const std::string& suffix) const {
    return (uploads_ / ".resumable-uploads" / (location.substr(location.rfind('/') + 1) + suffix)).string();
  }

  testing::TempDir root_;
  fs::path uploads_;
  testing::ServerProcess server_;
};

struct ProtocolCase {
  std::string name;
  std::string method;
  bool on_upload;  // the target is a fresh 10-byte upload holding "01234"; else /resumable/
  HeaderLines headers;
  std::string body;
  int status;
  std::string named;  // what the refusal's text names
};

TEST_F(ServeResumableTest, EachProtocolCaseGetsItsStatus) {
  testing::WriteFileBytes(uploads_ / "taken.txt", "old");
  const std::string name = "filename " + Base64("a.txt");
  const std::vector<ProtocolCase> cases = {
      {"options needs no version", "OPTIONS", false, {{"Tus-Resumable", ""}}, "", 204, ""},
      {"creation", "POST", false, {{"Upload-Length", "10"}, {"Upload-Metadata", name}}, "", 201, ""},
      {"deferred length", "POST", false, {{"Upload-Defer-Length", "1"}, {"Upload-Metadata", name}}, "", 201, ""},
      {"no version", "POST", false, {{"Tus-Resumable", ""}, {"Upload-Length", "1"}}, "", 412, "Tus-Resumable"},
      {"old version", "POST", false, {{"Tus-Resumable", "0.2.2"}, {"Upload-Length", "1"}}, "", 412, "Tus-Resumable"},
      {"negative length",
       "POST",
       false,
       {{"Upload-Length", "-1"}, {"Upload-Metadata", name}},
       "",
       400,
       "Upload-Length"},
      {"overflowing length", "POST", false, {{"Upload-Length", "99999999999999999999"}}, "", 400, "Upload-Length"},
      {"no length", "POST", false, {{"Upload-Metadata", name}}, "", 400, "Upload-Length"},
      {"both lengths", "POST", false, {{"Upload-Length", "1"}, {"Upload-Defer-Length", "1"}}, "", 400, "Upload-Length"},
      {"defer not 1", "POST", false, {{"Upload-Defer-Length", "2"}}, "", 400, "Upload-Defer-Length"},
      {"past Tus-Max-Size", "POST", false, {{"Upload-Length", "1048577"}, {"Upload-Metadata", name}}, "", 413, ""},
      {"metadata not base64",
       "POST",
       false,
       {{"Upload-Length", "1"}, {"Upload-Metadata", "filename a.txt"}},
       "",
       400,
       "Upload-Metadata"},
      {"no filename", "POST", false, {{"Upload-Length", "1"}}, "", 400, "Upload-Metadata"},
      {"hidden name",
       "POST",
       false,
       {{"Upload-Length", "1"}, {"Upload-Metadata", "filename " + Base64(".env")}},
       "",
       400,
       "hidden"},
      {"path-like name",
       "POST",
       false,
       {{"Upload-Length", "1"}, {"Upload-Metadata", "filename " + Base64("a/b")}},
       "",
       400,
       "Upload-Metadata"},
      {"taken under error",
       "POST",
       false,
       {{"Upload-Length", "1"},
        {"Upload-Metadata", "filename " + Base64("taken.txt") + ",conflict " + Base64("error")}},
       "",
       403,
       "taken"},
      {"overwrite beyond the ceiling",
       "POST",
       false,
       {{"Upload-Length", "1"}, {"Upload-Metadata", name + ",conflict " + Base64("overwrite")}},
       "",
       400,
       "Upload-Metadata"},
      {"creation with data",
       "POST",
       false,
       {{"Upload-Length", "3"}, {"Upload-Metadata", name}, {"Content-Type", kOffsetStream}},
       "abc",
       201,
       ""},
      {"creation with other data",
       "POST",
       false,
       {{"Upload-Length", "3"}, {"Upload-Metadata", name}, {"Content-Type", "text/plain"}},
       "abc",
       415,
       "Content-Type"},
      {"cross-origin preflight", "OPTIONS", false, {{"Origin", "http://evil.example"}}, "", 403, ""},
      {"GET of the creation URL", "GET", false, {}, "", 405, ""},
      {"head", "HEAD", true, {}, "", 200, ""},
      {"patch", "PATCH", true, {{"Upload-Offset", "5"}, {"Content-Type", kOffsetStream}}, "56", 204, ""},
      {"patch without version",
       "PATCH",
       true,
       {{"Tus-Resumable", ""}, {"Upload-Offset", "5"}, {"Content-Type", kOffsetStream}},
       "5",
       412,
       "Tus-Resumable"},
      {"wrong content type",
       "PATCH",
       true,
       {{"Upload-Offset", "5"}, {"Content-Type", "text/plain"}},
       "5",
       415,
       "Content-Type"},
      {"offset behind",
       "PATCH",
       true,
       {{"Upload-Offset", "3"}, {"Content-Type", kOffsetStream}},
       "5",
       409,
       "Upload-Offset"},
      {"offset ahead",
       "PATCH",
       true,
       {{"Upload-Offset", "7"}, {"Content-Type", kOffsetStream}},
       "5",
       409,
       "Upload-Offset"},
      {"negative offset",
       "PATCH",
       true,
       {{"Upload-Offset", "-5"}, {"Content-Type", kOffsetStream}},
       "5",
       400,
       "Upload-Offset"},
      {"past the length", "PATCH", true, {{"Upload-Offset", "5"}, {"Content-Type", kOffsetStream}}, "567890", 413, ""},
      {"checksum mismatch",
       "PATCH",
       true,
       {{"Upload-Offset", "5"},
        {"Content-Type", kOffsetStream},
        {"Upload-Checksum", "sha1 qZk+NkcGgWq6PiVxeFDCbJzQ2J0="}},
       "5",
       460,
       "Upload-Checksum"},
      {"checksum match",
       "PATCH",
       true,
       {{"Upload-Offset", "5"},
        {"Content-Type", kOffsetStream},
        {"Upload-Checksum", "sha1 qZk+NkcGgWq6PiVxeFDCbJzQ2J0="}},
       "abc",
       204,
       ""},
      {"unknown algorithm",
       "PATCH",
       true,
       {{"Upload-Offset", "5"},
        {"Content-Type", kOffsetStream},
        {"Upload-Checksum", "md5 qZk+NkcGgWq6PiVxeFDCbJzQ2J0="}},
       "5",
       400,
       "Upload-Checksum"},
      {"termination", "DELETE", true, {}, "", 204, ""},
      {"PUT", "PUT", true, {}, "", 405, ""},
  };
  for (const ProtocolCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string target = "/resumable/";
    if (c.on_upload) {
      target = CreateUpload(port(), "u.txt", 10);
      ASSERT_FALSE(target.empty());
      ASSERT_EQ(Patch(port(), target, 0, "01234").status, 204);
    }
    const HttpAnswer answer = Tus(port(), c.method, target, c.headers, c.body);
    EXPECT_EQ(answer.status, c.status) << answer.head << answer.body;
    EXPECT_NE(answer.body.find(c.named), std::string::npos) << answer.body;
    if (c.status != 403 || c.method != "OPTIONS") {
      EXPECT_EQ(answer.Header("Tus-Resumable"), "1.0.0");
    }
    if (c.on_upload && c.method != "DELETE") {
      // A refused PATCH changes nothing: the offset stays where it was.
      const std::string expected = std::to_string(5 + (answer.status == 204 ? c.body.size() : 0));
      EXPECT_EQ(Tus(port(), "HEAD", target, {}).Header("Upload-Offset"), expected);
    }
  }
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "taken.txt"), "old");
}

// Chunked data (Transfer-Encoding: chunked) is taken as declared data is:
// appended at the offset, within Upload-Length (413 past it, nothing of it
// kept), for a PATCH, a creation's data and an upload of deferred length.
TEST_F(ServeResumableTest, ChunkedDataIsTakenWithinTheUploadLength) {
  const auto chunked = [&](const std::string& method, const std::string& path, const std::string& headers,
                           const std::string& data) {
    return testing::ChunkedTus(port(), method, path, headers, data);
  };
  const std::string target = CreateUpload(port(), "c.txt", 10);
  ASSERT_FALSE(target.empty());
  ASSERT_EQ(Patch(port(), target, 0, "01234").status, 204);
  struct Step {
    std::size_t offset;
    std::string data;  // sent in chunks of two bytes
    int status;
    std::uint64_t offset_after;
  };
  const Step steps[] = {
      {5, "abc", 204, 8},
      {8, "xyz", 413, 8},  // one byte past Upload-Length
      {7, "xy", 409, 8},
      {8, "xy", 204, 10},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.data);
    const HttpAnswer patch =
        chunked("PATCH", target, "Upload-Offset: " + std::to_string(step.offset) + "\r\n", step.data);
    EXPECT_EQ(patch.status, step.status) << patch.head << patch.body;
    EXPECT_EQ(Tus(port(), "HEAD", target, {}).Header("Upload-Offset"), std::to_string(step.offset_after));
  }
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "c.txt"), "01234abcxy");

  const HttpAnswer creation = chunked(
      "POST", "/resumable/", "Upload-Length: 3\r\nUpload-Metadata: filename " + Base64("d.txt") + "\r\n", "def");
  EXPECT_EQ(creation.status, 201) << creation.head << creation.body;
  EXPECT_EQ(creation.Header("Zmfile-Result-Code"), "0");
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "d.txt"), "def");

  const HttpAnswer deferred = Tus(port(), "POST", "/resumable/",
                                  {{"Upload-Defer-Length", "1"}, {"Upload-Metadata", "filename " + Base64("e.txt")}});
  ASSERT_EQ(deferred.status, 201);
  const HttpAnswer last =
      chunked("PATCH", deferred.Header("Location"), "Upload-Offset: 0\r\nUpload-Length: 3\r\n", "ghi");
  EXPECT_EQ(last.status, 204) << last.head << last.body;
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "e.txt"), "ghi");
}

TEST_F(ServeResumableTest, OptionsTellWhatTheServerSpeaks) {
  const HttpAnswer answer = Tus(port(), "OPTIONS", "/resumable/", {{"Tus-Resumable", ""}});
  EXPECT_EQ(answer.Header("Tus-Version"), "1.0.0");
  EXPECT_EQ(answer.Header("Tus-Extension"),
            "creation,creation-with-upload,creation-defer-length,termination,expiration,checksum");
  EXPECT_EQ(answer.Header("Tus-Max-Size"), "1048576");
  EXPECT_EQ(answer.Header("Tus-Checksum-Algorithm"), "sha1,sha256");
}

TEST_F(ServeResumableTest, CompletionStoresTheFileAndTellsItsName) {
  testing::WriteFileBytes(uploads_ / "r\xc3\xa9sum\xc3\xa9 1.txt", "old");  // taken: makeunique numbers it
  const std::string data = testing::RandomBytes(300000, 7);
  const std::string target = CreateUpload(port(), "r\xc3\xa9sum\xc3\xa9 1.txt", data.size());
  ASSERT_FALSE(target.empty());
  ASSERT_EQ(Patch(port(), target, 0, data.substr(0, 100000)).status, 204);
  EXPECT_FALSE(fs::exists(uploads_ / "r\xc3\xa9sum\xc3\xa9 1(1).txt"));  // never a partial file under its name
  const HttpAnswer done = Patch(port(), target, 100000, data.substr(100000));
  EXPECT_EQ(done.status, 204) << done.body;
  EXPECT_EQ(done.Header("Zmfile-Result-Code"), "0");
  EXPECT_EQ(done.Header("Zmfile-Stored-Name"), "r%C3%A9sum%C3%A9%201%281%29.txt");
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "r\xc3\xa9sum\xc3\xa9 1(1).txt"), data);
  EXPECT_FALSE(fs::exists(Staged(target, ".data")));
  const HttpAnswer head = Tus(port(), "HEAD", target, {});
  EXPECT_EQ(head.Header("Upload-Offset"), std::to_string(data.size()));
  EXPECT_EQ(head.Header("Zmfile-Stored-Name"), done.Header("Zmfile-Stored-Name"));
  EXPECT_EQ(head.Header("Zmfile-Result-Code"), "0");
  // A retried final PATCH is told the same outcome; more data is refused.
  EXPECT_EQ(Patch(port(), target, data.size(), "").Header("Zmfile-Result-Code"), "0");
  EXPECT_EQ(Patch(port(), target, data.size(), "x").status, 403);
}

// The name was free at creation and is taken when the last byte arrives:
// under "error" the outcome is 106, which no retry changes, so the answer
// is 204 with the code rather than 409.
TEST_F(ServeResumableTest, NameTakenBeforeCompletionUnderErrorIsToldNotRetried) {
  const std::string target = CreateUpload(port(), "late.txt", 3, "", ",conflict " + Base64("error"));
  ASSERT_FALSE(target.empty());
  testing::WriteFileBytes(uploads_ / "late.txt", "first");
  const HttpAnswer done = Patch(port(), target, 0, "new");
  EXPECT_EQ(done.status, 204);
  EXPECT_EQ(done.Header("Zmfile-Result-Code"), "106");
  EXPECT_EQ(done.Header("Zmfile-Stored-Name"), "");
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "late.txt"), "first");
  EXPECT_EQ(Tus(port(), "HEAD", target, {}).Header("Zmfile-Result-Code"), "106");
}

TEST_F(ServeResumableTest, DeferredLengthIsDeclaredByALaterPatch) {
  const HttpAnswer created = Tus(port(), "POST", "/resumable/",
                                 {{"Upload-Defer-Length", "1"}, {"Upload-Metadata", "filename " + Base64("d")}});
  const std::string target = created.Header("Location");
  ASSERT_EQ(Patch(port(), target, 0, "abc").status, 204);
  EXPECT_EQ(Tus(port(), "HEAD", target, {}).Header("Upload-Defer-Length"), "1");
  EXPECT_EQ(Patch(port(), target, 3, "def", {{"Upload-Length", "5"}}).status, 413);
  const HttpAnswer done = Patch(port(), target, 3, "def", {{"Upload-Length", "6"}});
  EXPECT_EQ(done.Header("Zmfile-Result-Code"), "0");
  EXPECT_EQ(testing::ReadFileBytes(uploads_ / "d"), "abcdef");
}

}  // namespace
}  // namespace zimrax
