// The pieces of zmfile serve on their own: the request gate, the file-name
// rules, the status and JSON of an upload report, the download headers, the
// log line, the streamed upload and the directory listing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <nlohmann/json.hpp>

#include "server/answers.h"
#include "server/embedded_assets.h"
#include "server/file_listing.h"
#include "server/file_name_rules.h"
#include "server/request_gate.h"
#include "server/request_log.h"
#include "server/upload_report.h"
#include "server/upload_stream.h"
#include "server_process.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

TEST(RequestGateTest, RefusesWhatCannotBeAnUpload) {
  struct Case {
    std::string label;
    std::vector<std::pair<std::string, std::string>> headers;
    int status;  // 0: accepted
  };
  const std::pair<std::string, std::string> form = {"Content-Type", "multipart/form-data; boundary=abc"};
  const std::vector<Case> cases = {
      {"plain form upload", {form, {"Content-Length", "100"}}, 0},
      {"type in capitals", {{"Content-Type", "Multipart/Form-Data;boundary=a"}, {"Content-Length", "1"}}, 0},
      {"length at the limit", {form, {"Content-Length", "1000"}}, 0},
      {"length with blanks around", {form, {"Content-Length", " 7 "}}, 0},
      {"identity coding", {form, {"Content-Length", "5"}, {"Content-Encoding", "identity"}}, 0},
      {"no content type", {{"Content-Length", "5"}}, 415},
      {"text", {{"Content-Type", "text/plain"}, {"Content-Length", "5"}}, 415},
      {"form prefix only", {{"Content-Type", "multipart/form-datax"}, {"Content-Length", "5"}}, 415},
      {"mixed multipart", {{"Content-Type", "multipart/mixed; boundary=a"}, {"Content-Length", "5"}}, 415},
      {"gzip body", {form, {"Content-Length", "5"}, {"Content-Encoding", "gzip"}}, 415},
      {"no length", {form}, 411},
      {"chunked", {form, {"Transfer-Encoding", "chunked"}}, 0},
      {"chunked with a length", {form, {"Transfer-Encoding", "chunked"}, {"Content-Length", "5"}}, 400},
      {"chunked after gzip", {form, {"Transfer-Encoding", "gzip, chunked"}}, 400},
      {"negative length", {form, {"Content-Length", "-1"}}, 400},
      {"length with letters", {form, {"Content-Length", "12abc"}}, 400},
      {"empty length", {form, {"Content-Length", ""}}, 400},
      {"length past 64 bits", {form, {"Content-Length", "99999999999999999999999"}}, 400},
      {"two lengths", {form, {"Content-Length", "5"}, {"Content-Length", "6"}}, 400},
      {"one byte over", {form, {"Content-Length", "1001"}}, 413},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    boost::beast::http::fields headers;
    for (const auto& [key, value] : c.headers) headers.insert(key, value);
    BodyFrame frame{false, 12345};
    const std::optional<Refusal> refusal = CheckUploadRequest(headers, 1000, &frame);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status);
    if (!refusal) {
      const bool chunked = headers.count("Transfer-Encoding") > 0;
      EXPECT_EQ(frame.chunked, chunked);
      EXPECT_EQ(frame.length, chunked ? 0 : std::stoull(std::string(headers["Content-Length"])));
    } else {
      EXPECT_FALSE(refusal->message.empty());
    }
  }
}

TEST(FileNameRulesTest, OnlyPlainNamesPass) {
  const std::vector<std::pair<std::string, bool>> names = {
      {"a.txt", true},     {"photo(1).jpg", true}, {"données.pdf", true}, {".profile", true}, {"...", true},
      {"", false},         {".", false},           {"..", false},         {"a/b", false},     {"/etc", false},
      {"a\\b", false},     {"tab\there", false},   {"nl\n", false},       {"del\x7f", false},
      {std::string("nul\0x", 5), false},
  };
  for (const auto& [name, plain] : names) EXPECT_EQ(IsPlainFileName(name), plain) << name;
}

TEST(FileNameRulesTest, ClientNamesAreJudgedByTheirStoredPart) {
  const std::vector<std::tuple<std::string, std::string, bool>> names = {
      {"photo.jpg", "photo.jpg", true},
      {"C:\\Users\\me\\photo.jpg", "photo.jpg", true},
      {"..\\..\\photo.jpg", "photo.jpg", true},
      {"dir\\", "", true},  // the component itself reports the empty name
      {"../photo.jpg", "../photo.jpg", false},
      {"C:\\x\\..", "..", false},
      {"a\\b/c", "b/c", false},
  };
  for (const auto& [client, stored, acceptable] : names) {
    EXPECT_EQ(StoredPartOfClientName(client), stored) << client;
    EXPECT_EQ(IsAcceptableClientName(client), acceptable) << client;
  }
}

UploadReport Coded(std::int32_t code, std::string text = "message",
                   ErrorCodeWidth width = ErrorCodeWidth::kInt16) {
  UploadReport report;
  report.outcome = OperationResult{};
  report.outcome->code = code;
  report.outcome->width = width;
  report.outcome->text = std::move(text);
  return report;
}

UploadReport Faulted(RuntimeError fault) {
  UploadReport report;
  report.outcome = OperationResult{};
  report.outcome->fault = fault;
  return report;
}

TEST(UploadReportTest, StatusFollowsTheErrorCode) {
  const std::vector<std::pair<UploadReport, int>> cases = {
      {Coded(0, "a.txt"), 200},
      {Coded(101), 400},
      {Coded(102), 400},
      {Coded(103), 400},
      {Coded(104), 400},
      {Coded(105), 400},
      {Coded(106), 409},
      {Coded(53), 500},
      {Coded(61), 500},
      {Coded(70), 500},
      {Coded(70, "message", ErrorCodeWidth::kInt32), 500},
      {Coded(75, "message", ErrorCodeWidth::kInt32), 500},
      {Coded(76), 500},
      {UploadReport{}, 500},
  };
  for (const auto& [report, status] : cases) {
    EXPECT_EQ(HttpStatusOf(report), status) << (report.outcome ? report.outcome->code : -1);
  }
  // A platform error is the server's fault (500, 507 for a full disk or
  // quota) unless the client's name cannot be held by the file system.
  const std::vector<std::pair<int, int>> by_errno = {
      {0, 500}, {EIO, 500}, {EACCES, 500}, {ENAMETOOLONG, 400}, {ENOSPC, 507}, {EDQUOT, 507}, {EFBIG, 500},
      {EMFILE, 503}, {ENFILE, 503}};
  for (const auto& [error, status] : by_errno) {
    UploadReport platform = Coded(error == ENAMETOOLONG ? 75 : 61);
    platform.outcome->platform_errno = error;
    EXPECT_EQ(HttpStatusOf(platform), status) << "errno " << error;
  }
  EXPECT_EQ(HttpStatusOf(Faulted(RuntimeError::kSubscriptOutOfRange)), 400);
  UploadReport refused;
  refused.refusal = Refusal{413, "too big"};
  EXPECT_EQ(HttpStatusOf(refused), 413);

  EXPECT_EQ(NameStoredBy(Coded(0, "a.txt")), "a.txt");
  EXPECT_EQ(NameStoredBy(Coded(106, "Error: File Already Exists.")), "");
}

TEST(UploadJsonTest, CarriesCodeResultCommentFaultOrRefusal) {
  UploadReport stored = Coded(0, "a.txt");
  stored.comment = "hi";
  EXPECT_EQ(UploadJson(stored),
            R"({"ErrorCode":0,"Result":"a.txt","Comment":"hi","Message":"Stored as a.txt.","Files":[]})");

  EXPECT_EQ(UploadJson(Coded(70, "Permission denied", ErrorCodeWidth::kInt32)),
            R"({"ErrorCode":70,"Result":"Permission denied","Comment":"","Message":"The server is not allowed to )"
            R"(write into its upload folder. Ask whoever runs the server to check its permissions.","Files":[]})");

  EXPECT_EQ(UploadJson(Faulted(RuntimeError::kSubscriptOutOfRange)), R"({"ErrorCode":null,"Result":null,"Comment":"",)"
                               R"("Fault":{"Number":9,"Description":"Subscript out of range"},)"
                               R"("Message":"The server could not read the form the browser sent: it looks cut off. )"
                               R"(Retry.","Files":[]})");

  UploadReport refused;
  refused.refusal = Refusal{415, "No."};
  EXPECT_EQ(UploadJson(refused),
            R"({"ErrorCode":null,"Result":null,"Comment":"","Refused":"No.","RefusedKind":"request","Message":"No.","Files":[]})");

  // Names and comments are bytes; what is not UTF-8 must not break the JSON.
  UploadReport latin1 = Coded(0, "caf\xe9.txt");
  latin1.comment = "\xff";
  const Json parsed = Json::parse(UploadJson(latin1));
  EXPECT_EQ(parsed["Result"], "caf\xef\xbf\xbd.txt");
  EXPECT_EQ(parsed["Comment"], "\xef\xbf\xbd");
}

TEST(UploadHtmlTest, EscapesEverythingFromTheRequest) {
  UploadReport report = Coded(0, "<img src=x onerror=alert(1)>.txt");
  report.comment = "\"quoted\" & 'single'";
  Listing listing;
  listing.files.push_back({"<script>.txt", 3, 0, 0});
  const std::string html = UploadHtml(report, listing);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("<script>"), std::string::npos);
  EXPECT_NE(html.find("&lt;img src=x onerror=alert(1)&gt;.txt"), std::string::npos);
  EXPECT_NE(html.find("&quot;quoted&quot; &amp; &#39;single&#39;"), std::string::npos);
  EXPECT_NE(html.find("href=\"files/%3Cscript%3E.txt\""), std::string::npos);
}

TEST(DownloadHeadersTest, DispositionHasAsciiFallbackAndExactName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.txt", "attachment; filename=\"a.txt\"; filename*=UTF-8''a.txt"},
      {"my file (1).txt", "attachment; filename=\"my file (1).txt\"; filename*=UTF-8''my%20file%20%281%29.txt"},
      {"say \"hi\".txt", "attachment; filename=\"say _hi_.txt\"; filename*=UTF-8''say%20%22hi%22.txt"},
      {"été.pdf", "attachment; filename=\"_t_.pdf\"; filename*=UTF-8''%C3%A9t%C3%A9.pdf"},
      {"x;y=z", "attachment; filename=\"x;y=z\"; filename*=UTF-8''x%3By%3Dz"},
  };
  for (const auto& [name, header] : cases) EXPECT_EQ(AttachmentDisposition(name), header);
  EXPECT_EQ(IsoTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(IsoTime(1714566896789), "2024-05-01T12:34:56Z");
}

TEST(RequestLogTest, OneRequestIsAlwaysOneLine) {
  LogFields fields;
  fields.method = "POST";
  fields.path = "/upload";
  fields.status = 200;
  fields.bytes_in = 1234;
  fields.bytes_out = 88;
  fields.milliseconds = 3.14;
  fields.stored_name = "a\nb\"c\\.txt";
  fields.client = "127.0.0.1";
  EXPECT_EQ(FormatLogLine(fields, 1714566896000),
            "2024-05-01T12:34:56Z POST /upload 200 in=1234 out=88 3.1ms client=127.0.0.1 "
            "stored=\"a\\x0ab\\x22c\\x5c.txt\"");
  fields.stored_name.clear();
  fields.path = "/files/\r\nfake 200";
  EXPECT_EQ(FormatLogLine(fields, 0),
            "1970-01-01T00:00:00Z POST /files/\\x0d\\x0afake 200 200 in=1234 out=88 3.1ms client=127.0.0.1");

}

// The streamed upload decides as the whole-body operations would, whatever
// the size of the pieces, and refuses without storing: paths, incomplete
// forms, an over-long first line.
TEST(UploadStreamTest, OutcomeDoesNotDependOnPiecesAndRefusalsStoreNothing) {
  const std::string boundary = "streamB0undary";
  const std::string data = testing::RandomBytes(200000, 5);
  auto form = [&](const std::string& name, const std::string& conflict) {
    std::vector<testing::FormPart> parts = {{"comment", "c\r\n", false, ""}};
    if (!conflict.empty()) parts.push_back({"conflict", conflict, false, ""});
    parts.push_back({"upload1", data, true, name});
    return testing::MultipartBody(boundary, parts);
  };
  struct Case {
    std::string label;
    std::string body;
    int status;
    std::string stored;  // "" when nothing may be stored
  };
  const std::string complete = form("s.bin", "");
  const std::vector<Case> cases = {
      {"complete form", complete, 200, "s.bin"},
      {"form policy, any case", form("s.bin", "ERROR"), 409, ""},  // s.bin exists by then
      {"path as the name", form("../s.bin", ""), 400, ""},
      {"cut before its closing delimiter", complete.substr(0, complete.size() - 30), 400, ""},
      {"first line over the cap", "--" + std::string(200, 'x') + "\r\n" + complete, 400, ""},
  };
  for (const std::size_t piece : {std::size_t{1}, std::size_t{777}, std::size_t{1} << 20}) {
    testing::TempDir dir;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.label + ", pieces of " + std::to_string(piece));
      UploadLimits limits;
      limits.max_first_line = 100;
      UploadStream upload(dir.path().string(), "makeunique", limits);
      for (std::size_t at = 0; at < c.body.size(); at += piece) {
        const std::size_t size = std::min(piece, c.body.size() - at);
        upload.Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(c.body.data() + at), size));
      }
      const UploadReport report = upload.Finish();
      EXPECT_EQ(HttpStatusOf(report), c.status) << UploadJson(report);
      EXPECT_EQ(NameStoredBy(report), c.stored);
      if (c.status == 200) {
        EXPECT_EQ(report.comment, "c\r\n");
      }
      std::size_t entries = 0;
      for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
      EXPECT_EQ(entries, 1u) << "only s.bin, no temporary";
    }
    EXPECT_TRUE(testing::ReadFileBytes(dir.path() / "s.bin") == data);
  }
}

// Whether a stored file is empty and whether the form was complete come
// from the one pass over the body: a closing delimiter line without its
// CR LF still completes the form, and one byte less does not.
TEST(UploadStreamTest, EmptyFilesAndCompleteFormsAreToldByTheStream) {
  struct Case {
    std::string data;
    std::size_t cut;  // bytes taken off the body's end
    int status;
    bool empty;
  };
  const std::vector<Case> cases = {
      {"", 0, 200, true}, {"x", 0, 200, false}, {"", 2, 200, true}, {"", 3, 400, false}, {"\r\n", 2, 200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("data of " + std::to_string(c.data.size()) + " bytes, cut " + std::to_string(c.cut));
    testing::TempDir dir;
    std::string body = testing::MultipartBody("B0undary", {{"upload1", c.data, true, "e.bin"}});
    ASSERT_TRUE(body.ends_with("--\r\n"));
    body.resize(body.size() - c.cut);
    UploadStream upload(dir.path().string(), "makeunique", UploadLimits{});
    upload.Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    const UploadReport report = upload.Finish();
    EXPECT_EQ(HttpStatusOf(report), c.status) << UploadJson(report);
    EXPECT_EQ(report.empty, c.empty);
    if (c.status == 200) {
      EXPECT_TRUE(testing::ReadFileBytes(dir.path() / "e.bin") == c.data);
    }
  }
}

TEST(FileListingTest, ListsVisibleRegularFilesNewestFirstAndOpensOnlyRegularFiles) {
  testing::TempDir root;
  const fs::path dir = root.path() / "uploads";
  fs::create_directory(dir);
  testing::WriteFileBytes(root.path() / "outside.txt", "outside");
  testing::WriteFileBytes(dir / "old.txt", "old");
  testing::WriteFileBytes(dir / "new.txt", "newer");
  testing::WriteFileBytes(dir / "mid.txt", "mid");
  const auto now = fs::file_time_type::clock::now();
  fs::last_write_time(dir / "old.txt", now - std::chrono::hours(2));
  fs::last_write_time(dir / "mid.txt", now - std::chrono::hours(1));
  fs::last_write_time(dir / "new.txt", now);
  fs::create_symlink(root.path() / "outside.txt", dir / "link.txt");
  fs::create_directory(dir / "sub");
  testing::WriteFileBytes(dir / ".hidden-temporary", "in progress");

  const Listing all = ListStoredFiles(dir.string(), 10);
  ASSERT_EQ(all.files.size(), 3u);
  EXPECT_EQ(all.files[0].name, "new.txt");
  EXPECT_EQ(all.files[0].size, 5u);
  EXPECT_EQ(all.files[1].name, "mid.txt");
  EXPECT_EQ(all.files[2].name, "old.txt");
  EXPECT_FALSE(all.next);
  const Listing two = ListStoredFiles(dir.string(), 2);
  EXPECT_EQ(two.files.size(), 2u);
  ASSERT_TRUE(two.next);
  EXPECT_EQ(two.next->name, "mid.txt");
  EXPECT_TRUE(ListStoredFiles((root.path() / "missing").string(), 10).files.empty());

  const OpenedFile opened = OpenStoredFile(dir.string(), "mid.txt");
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(opened.size(), 3u);
  char byte = 0;
  EXPECT_EQ(::pread(opened.fd(), &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'm');
  for (const std::string name : {"link.txt", "sub", "../outside.txt", "..", "missing.txt", ""}) {
    EXPECT_FALSE(OpenStoredFile(dir.string(), name).ok()) << name;
  }
}

// A download serves exactly what the listing shows: every entry of a
// folder holding hidden files, a temporary, a link, a folder and a FIFO
// opens if and only if the listing names it.
TEST(FileListingTest, DownloadsServeExactlyTheListedNames) {
  testing::TempDir root;
  const fs::path dir = root.path() / "files";
  fs::create_directories(dir / "sub");
  for (const char* name : {"a.txt", ".htpasswd", ".zmfile-abcdefghijklmnop", "...", ".profile", "b c.txt"}) {
    testing::WriteFileBytes(dir / name, "x");
  }
  fs::create_symlink(dir / "a.txt", dir / "link.txt");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  std::set<std::string> listed;
  for (const StoredFile& file : ListStoredFiles(dir.string(), 100).files) listed.insert(file.name);
  EXPECT_EQ(listed, (std::set<std::string>{"a.txt", "b c.txt"}));
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(OpenStoredFile(dir.string(), name).ok(), listed.count(name) == 1) << name;
  }
}

TEST(EmbeddedAssetsTest, ThePageAndItsFilesAreBuiltIn) {
  const Asset page = FindAsset("/");
  EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
  EXPECT_EQ(page.bytes, FindAsset("/index.html").bytes);
  EXPECT_NE(page.bytes.find("<script src=\"app.js\""), std::string_view::npos);
  EXPECT_EQ(FindAsset("/app.js").content_type, "text/javascript; charset=utf-8");
  EXPECT_EQ(FindAsset("/app.css").content_type, "text/css; charset=utf-8");
  EXPECT_EQ(FindAsset("/favicon.svg").content_type, "image/svg+xml");
  EXPECT_TRUE(FindAsset("/missing.js").content_type.empty());
  EXPECT_EQ(FindAsset("/tus-js-client-LICENSE.txt").content_type, "text/plain; charset=utf-8");
  // Every file of web/ is built in, as its exact bytes: a module or a
  // vendored file left out of the build would break the page.
  const char* source = std::getenv("ZIMRAX_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  int files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(source) / "web")) {
    const std::string url = "/" + entry.path().filename().string();
    EXPECT_FALSE(FindAsset(url).content_type.empty()) << url;
    EXPECT_EQ(FindAsset(url).bytes, testing::ReadFileBytes(entry.path())) << url;
    ++files;
  }
  EXPECT_GE(files, 10);
}

}  // namespace
}  // namespace zimrax::zmfile
