// zmfile serve end to end: a real server process on a free loopback port,
// driven with curl -F and with a raw socket client.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <set>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "server_process.h"

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* kBoundary = "zimraxBoundary7MA4YWxkTrZu0gW";
constexpr std::uint64_t kMaxBody = 32u << 20;

class ServeTest : public ::testing::Test {
 protected:
  ServeTest()
      : uploads_(root_.path() / "uploads"),
        // 32 parallel uploads come from one address: above the default per-address limit.
        server_(uploads_, {"--max-body", std::to_string(kMaxBody), "--max-per-address", "64"},
                root_.path() / "server.log") {}

  void SetUp() override { ASSERT_TRUE(server_.ok()) << server_.Log(); }

  // The server lived through the test and stops cleanly (under the
  // sanitizers: with no error and no leak).
  void TearDown() override { EXPECT_EQ(server_.Interrupt(), 0) << server_.Log(); }

  // Uploads `bytes` with curl -F as file `name`, plus extra -F fields.
  HttpAnswer CurlUpload(const std::string& bytes, const std::string& name,
                        const std::vector<std::string>& fields = {}) {
    const fs::path picked = root_.path() / ("picked-" + std::to_string(picked_count_++));
    WriteFileBytes(picked, bytes);
    std::vector<std::string> args = {"curl", "-sS", "-i", "--max-time", "60", "-H", "Accept: application/json",
                                     "-F", "upload1=@" + picked.string() + ";filename=" + name};
    for (const std::string& field : fields) {
      args.push_back("-F");
      args.push_back(field);
    }
    args.push_back(server_.Url("/upload"));
    return ParseHttpAnswer(RunCommand(args).out);
  }

  HttpAnswer RawUpload(const std::vector<FormPart>& parts, bool json = true) {
    const std::string request = UploadRequest(server_.port(), kBoundary, MultipartBody(kBoundary, parts), json);
    return ParseHttpAnswer(RawExchange(server_.port(), request));
  }

  HttpAnswer Get(const std::string& target) {
    return ParseHttpAnswer(
        RawExchange(server_.port(), "GET " + target + " HTTP/1.1\r\n" + HostLine(server_.port()) + "Connection: close\r\n\r\n"));
  }

  // Downloads /files/`encoded_name` with curl into a file and returns its bytes.
  std::string CurlDownload(const std::string& encoded_name) {
    const fs::path out = root_.path() / "download";
    const CommandResult run = RunCommand(
        {"curl", "-sS", "--fail", "--max-time", "60", "-o", out.string(), server_.Url("/files/" + encoded_name)});
    EXPECT_EQ(run.exit_status, 0);
    return ReadFileBytes(out);
  }

  std::set<std::string> StoredNames() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(uploads_)) names.insert(entry.path().filename().string());
    return names;
  }

  TempDir root_;
  fs::path uploads_;
  ServerProcess server_;
  int picked_count_ = 0;
};

// "2024-05-01T12:34:56Z"
bool IsIsoTime(const std::string& text) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != kShape[i]) return false;
  }
  return true;
}

// One request line of the server's log:
// TIME METHOD PATH STATUS in=N out=N Xms client=ADDR [user="U"] [stored="NAME"] [reason="WHY"]
struct LogLine {
  std::string text;
  std::string method;
  std::string path;
  int status = 0;
  std::uint64_t bytes_in = 0;
  std::string client;
  std::string stored;  // stored="NAME" as logged, "" when absent
  std::string reason;  // the reason's escaped text, "" when absent
  bool well_formed = false;
};

std::vector<LogLine> LogLines(const std::string& log) {
  std::vector<LogLine> lines;
  std::istringstream stream(log);
  std::string text;
  while (std::getline(stream, text)) {
    if (text.rfind("zmfile serve:", 0) == 0) continue;
    LogLine line;
    line.text = text;
    std::istringstream fields(text);
    std::string time, in, out, ms;
    fields >> time >> line.method >> line.path >> line.status >> in >> out >> ms;
    std::string client;
    fields >> client;
    if (client.rfind("client=", 0) == 0) line.client = client.substr(7);
    std::string rest;
    std::getline(fields >> std::ws, rest);
    const auto reason_at = rest.find("reason=\"");
    if (reason_at != std::string::npos) {
      line.reason = rest.substr(reason_at + 8, rest.size() - reason_at - 9);
      rest = rest.substr(0, reason_at == 0 ? 0 : reason_at - 1);
    }
    line.stored = rest;
    line.well_formed = IsIsoTime(time) && line.status >= 100 && in.rfind("in=", 0) == 0 &&
                       out.rfind("out=", 0) == 0 && ms.size() > 2 && ms.substr(ms.size() - 2) == "ms" &&
                       !line.client.empty();
    if (line.well_formed) line.bytes_in = std::stoull(in.substr(3));
    lines.push_back(line);
  }
  return lines;
}

Json JsonOf(const HttpAnswer& answer) { return Json::parse(answer.body, nullptr, false); }

FormPart FilePart(const std::string& filename, const std::string& data) { return {"upload1", data, true, filename}; }

TEST_F(ServeTest, CreatesTheDirectoryAndServesThePage) {
  EXPECT_TRUE(fs::is_directory(uploads_));
  const HttpAnswer page = Get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("name=\"upload1\""), std::string::npos);
  EXPECT_NE(page.body.find("name=\"comment\""), std::string::npos);
  EXPECT_NE(page.body.find("name=\"conflict\""), std::string::npos);
  EXPECT_EQ(Get("/app.js").Header("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_EQ(Get("/app.css").Header("Content-Type"), "text/css; charset=utf-8");
  EXPECT_EQ(Get("/no-such-page").status, 404);
  const Json config = JsonOf(Get("/config"));
  EXPECT_EQ(config["maxBody"], kMaxBody);
  EXPECT_EQ(config["conflict"], "makeunique");
  EXPECT_EQ(config["clientConflict"], Json::array({"error", "makeunique"}));
}

// Contents that a multipart parser could trip over, and sizes from empty to
// many times the server's body buffer.
std::vector<std::pair<std::string, std::string>> TrickyContents() {
  std::string crlf_storm;
  for (int i = 0; i < 4000; ++i) crlf_storm += i % 7 == 0 ? "\r\n\r\n" : i % 5 == 0 ? "\r\r\n\n" : "\r\n";
  std::string dashes;
  for (int i = 0; i < 500; ++i) dashes += "\r\n--------------------------" + std::to_string(i) + "\r\n--\r\n";
  std::string all_bytes;
  for (int round = 0; round < 64; ++round) {
    for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  }
  return {
      {"random.bin", RandomBytes(300 * 1024, 1)},
      {"crlf.bin", crlf_storm},
      {"dashes.bin", dashes},
      {"allbytes.bin", all_bytes},
      {"ends-with-crlf.bin", "data\r\n"},
      {"one.bin", "x"},
      {"empty.bin", ""},
      {"large.bin", RandomBytes(20 << 20, 2)},
  };
}

TEST_F(ServeTest, CurlUploadsRoundTripByteForByte) {
  for (const auto& [name, bytes] : TrickyContents()) {
    SCOPED_TRACE(name);
    const HttpAnswer answer = CurlUpload(bytes, name);
    ASSERT_EQ(answer.status, 200) << answer.body;
    const Json json = JsonOf(answer);
    EXPECT_EQ(json["ErrorCode"], 0);
    EXPECT_EQ(json["Result"], name);
    EXPECT_TRUE(ReadFileBytes(uploads_ / name) == bytes) << "stored bytes differ";
    EXPECT_TRUE(CurlDownload(name) == bytes) << "downloaded bytes differ";
  }
}

TEST_F(ServeTest, NearBoundaryBytesRoundTripThroughARawClient) {
  const std::string delimiter = std::string("--") + kBoundary;
  const std::string almost = delimiter.substr(0, delimiter.size() - 1);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"prefix.bin", "\r\n" + almost + "\r\nmore"},
      {"last-byte-differs.bin", "\r\n" + almost + "X\r\n" + almost + "V--\r\n"},
      {"token-without-dashes.bin", std::string("\r\n") + kBoundary + "\r\n" + kBoundary},
      {"ends-in-cr.bin", "tail\r"},
      {"ends-in-almost.bin", "\r\n" + almost},
      {"headers-inside.bin", "Content-Disposition: form-data; name=\"upload1\"; filename=\"x.bin\"\r\n\r\n"},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    const HttpAnswer answer = RawUpload({FilePart(name, bytes)});
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(JsonOf(answer)["Result"], name);
    EXPECT_TRUE(ReadFileBytes(uploads_ / name) == bytes);
  }
}

TEST_F(ServeTest, Utf8FileNameIsStoredListedAndOffered) {
  const std::string name = "Отчёт été 数据 📄.txt";
  const std::string bytes = "unicode\r\nname";
  const HttpAnswer answer = CurlUpload(bytes, name);
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(JsonOf(answer)["Result"], name);
  EXPECT_TRUE(fs::is_regular_file(uploads_ / name));
  EXPECT_EQ(ReadFileBytes(uploads_ / name), bytes);

  const Json listing = JsonOf(Get("/files"));
  ASSERT_EQ(listing["files"].size(), 1u);
  EXPECT_EQ(listing["files"][0]["name"], name);
  EXPECT_EQ(listing["files"][0]["size"], bytes.size());
  EXPECT_TRUE(IsIsoTime(listing["files"][0]["modified"].get<std::string>()));

  const std::string encoded = "%D0%9E%D1%82%D1%87%D1%91%D1%82%20%C3%A9t%C3%A9%20%E6%95%B0%E6%8D%AE%20%F0%9F%93%84.txt";
  const HttpAnswer download = Get("/files/" + encoded);
  EXPECT_EQ(download.status, 200);
  EXPECT_EQ(download.body, bytes);
  EXPECT_EQ(download.Header("Content-Disposition"),
            "attachment; filename=\"_____ _t_ __ _.txt\"; filename*=UTF-8''" + encoded);
  EXPECT_EQ(download.Header("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(download.Header("Content-Type"), "application/octet-stream");
}

TEST_F(ServeTest, MakeUniqueNumbersLaterUploadsOfTheSameName) {
  const HttpAnswer first = CurlUpload("first", "photo.jpg", {"conflict=makeunique"});
  const HttpAnswer second = CurlUpload("second", "photo.jpg", {"conflict=makeunique"});
  const HttpAnswer third = CurlUpload("third", "photo.jpg");  // the server's default policy
  EXPECT_EQ(JsonOf(first)["Result"], "photo.jpg");
  EXPECT_EQ(JsonOf(second)["Result"], "photo(1).jpg");
  EXPECT_EQ(JsonOf(third)["Result"], "photo(2).jpg");
  EXPECT_EQ(ReadFileBytes(uploads_ / "photo.jpg"), "first");
  EXPECT_EQ(ReadFileBytes(uploads_ / "photo(1).jpg"), "second");
  EXPECT_EQ(ReadFileBytes(uploads_ / "photo(2).jpg"), "third");
}

// By default a form may choose "error" or "makeunique"; "overwrite" and
// anything unknown are refused, not taken for "error". (serve_site_test
// covers --client-conflict.)
TEST_F(ServeTest, ConflictPolicyComesFromTheFormWithinTheDefaultChoices) {
  ASSERT_EQ(CurlUpload("original", "report.pdf").status, 200);
  struct Case {
    std::string policy;
    int status;
    Json error_code;
    std::string refused;  // a part of the refusal, "" when not refused
  };
  const std::vector<Case> cases = {
      {"error", 409, 106, ""},
      {"ERROR", 409, 106, ""},
      {"rename", 400, nullptr, "conflict=rename is not a conflict policy; allowed: error, makeunique"},
      {"overwrite", 400, nullptr, "conflict=overwrite is not allowed by this server; allowed: error, makeunique"},
      {"OverWrite", 400, nullptr, "conflict=OverWrite is not allowed by this server"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy);
    const HttpAnswer answer = CurlUpload("refused", "report.pdf", {"conflict=" + c.policy});
    EXPECT_EQ(answer.status, c.status) << answer.body;
    const Json json = JsonOf(answer);
    EXPECT_EQ(json["ErrorCode"], c.error_code);
    if (c.refused.empty()) {
      EXPECT_EQ(json["Result"], "Error: File Already Exists.");
    } else {
      EXPECT_NE(json.value("Refused", "").find(c.refused), std::string::npos) << answer.body;
    }
    EXPECT_FALSE(json.contains("Replaced"));
    EXPECT_EQ(ReadFileBytes(uploads_ / "report.pdf"), "original");
  }
  EXPECT_EQ(StoredNames(), std::set<std::string>{"report.pdf"});
  const HttpAnswer unique = CurlUpload("second", "report.pdf", {"conflict=makeunique"});
  EXPECT_EQ(JsonOf(unique)["Result"], "report(1).pdf");
}

TEST_F(ServeTest, CommentIsReadWithTheComponentAndEchoed) {
  const HttpAnswer answer = RawUpload({{"comment", "héllo\r\nworld", false, ""}, FilePart("note.txt", "n")});
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(JsonOf(answer)["Comment"], "héllo\r\nworld");
}

TEST_F(ServeTest, AnswersHtmlWhenTheClientDoesNotAskForJson) {
  const HttpAnswer answer = RawUpload({FilePart("<b>&bold.txt", "x")}, /*json=*/false);
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(answer.body.find("&lt;b&gt;&amp;bold.txt"), std::string::npos);
  EXPECT_EQ(answer.body.find("<b>&bold"), std::string::npos);
}

TEST_F(ServeTest, ComponentCodesMapToHttpStatus) {
  struct Case {
    std::string label;
    std::vector<FormPart> parts;
    int error_code;
  };
  const std::vector<Case> cases = {
      {"no upload1 field", {{"other", "x", false, ""}}, 102},
      {"upload1 is a plain field", {{"upload1", "x", false, ""}}, 103},
      {"empty file name", {FilePart("", "x")}, 104},
      // The client's name is longer than any file system holds: platform
      // error 75 for ENAMETOOLONG, the client's fault.
      {"name too long to store", {FilePart(std::string(300, 'n') + ".txt", "x")}, 75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const HttpAnswer answer = RawUpload(c.parts);
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(JsonOf(answer)["ErrorCode"], c.error_code) << answer.body;
  }
  EXPECT_TRUE(StoredNames().empty());
}

TEST_F(ServeTest, FaultIsAnswered400WithNumberAndDescription) {
  // A file name whose closing quote never comes: the component faults.
  const std::string body = std::string("--") + kBoundary +
                           "\r\nContent-Disposition: form-data; name=\"upload1\"; filename=\"never-closed\r\n\r\ndata";
  const HttpAnswer answer = ParseHttpAnswer(RawExchange(server_.port(), UploadRequest(server_.port(), kBoundary, body)));
  ASSERT_EQ(answer.status, 400) << answer.body;
  const Json json = JsonOf(answer);
  EXPECT_TRUE(json["ErrorCode"].is_null());
  EXPECT_EQ(json["Fault"]["Number"], 9);
  EXPECT_EQ(json["Fault"]["Description"], "Subscript out of range");
}

TEST_F(ServeTest, OversizedBodyIsRefusedWithoutReadingIt) {
  // Only the headers are sent: the answer must come without the body.
  const std::string head = "POST /upload HTTP/1.1\r\n" + HostLine(server_.port()) + "Accept: application/json\r\n"
                           "Content-Type: multipart/form-data; boundary=x\r\nContent-Length: 10737418240\r\n\r\n";
  const auto start = std::chrono::steady_clock::now();
  const HttpAnswer answer = ParseHttpAnswer(RawExchange(server_.port(), head, 10));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(answer.status, 413);
  EXPECT_NE(JsonOf(answer)["Refused"].get<std::string>().find("10737418240"), std::string::npos);

  // curl sends "Expect: 100-continue" and gets the refusal instead.
  const HttpAnswer curl = CurlUpload(RandomBytes(kMaxBody + 1, 3), "big.bin");
  EXPECT_EQ(curl.status, 413);
  EXPECT_TRUE(StoredNames().empty());
}

TEST_F(ServeTest, BadRequestHeadersGetClearAnswers) {
  struct Case {
    std::string label;
    std::string request;
    int status;
  };
  const std::string host = HostLine(server_.port());
  const std::string upload = "POST /upload HTTP/1.1\r\n" + host + "Accept: application/json\r\n";
  const std::string multipart = "Content-Type: multipart/form-data; boundary=x\r\n";
  const std::vector<Case> cases = {
      {"text body", upload + "Content-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello", 415},
      {"no content type", upload + "Content-Length: 5\r\n\r\nhello", 415},
      {"gzip body", upload + multipart + "Content-Encoding: gzip\r\nContent-Length: 5\r\n\r\nhello", 415},
      {"no length", upload + multipart + "Connection: close\r\n\r\n--x--\r\n", 411},
      {"chunked with a length", upload + multipart + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", 400},
      {"length not a number", upload + multipart + "Content-Length: 12abc\r\n\r\n", 400},
      {"body on another path", "POST /files HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc", 405},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const HttpAnswer answer = ParseHttpAnswer(RawExchange(server_.port(), c.request, 10));
    EXPECT_EQ(answer.status, c.status) << answer.head;
    EXPECT_FALSE(answer.body.empty());
  }
  // A method the server does not take is named in the answer, body or not.
  const HttpAnswer deleted = ParseHttpAnswer(RawExchange(
      server_.port(), "DELETE /files/a.txt HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n", 10));
  EXPECT_EQ(deleted.status, 405);
  EXPECT_NE(deleted.body.find("does not delete files (it runs without --allow-delete)"), std::string::npos)
      << deleted.body;
  const HttpAnswer put = ParseHttpAnswer(RawExchange(
      server_.port(), "PUT /files/a.txt HTTP/1.1\r\n" + host + "Content-Length: 0\r\nConnection: close\r\n\r\n", 10));
  EXPECT_EQ(put.status, 405);
  EXPECT_NE(put.body.find("PUT is not allowed on /files/a.txt"), std::string::npos) << put.body;
  // curl -d sends application/x-www-form-urlencoded.
  const CommandResult form = RunCommand({"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "30",
                                         "-d", "upload1=x", server_.Url("/upload")});
  EXPECT_EQ(form.out, "415");
  EXPECT_EQ(Get("/").status, 200) << "the server must still serve";
}

TEST_F(ServeTest, PathsInTheClientFileNameAreRefused) {
  const std::vector<std::string> refused = {"../escape.txt", "sub/../../escape.txt", "/tmp/escape.txt",
                                            "..", "dir\\..", "a\\b/../../escape.txt"};
  for (const std::string& name : refused) {
    SCOPED_TRACE(name);
    const HttpAnswer answer = RawUpload({FilePart(name, "outside?")});
    EXPECT_EQ(answer.status, 400);
    EXPECT_FALSE(JsonOf(answer)["Refused"].is_null()) << answer.body;
  }
  EXPECT_TRUE(StoredNames().empty());
  EXPECT_FALSE(fs::exists(root_.path() / "escape.txt"));
  // A client path with backslashes keeps only its last piece, inside the directory.
  const HttpAnswer windows_path = RawUpload({FilePart("..\\..\\inside.txt", "inside")});
  EXPECT_EQ(JsonOf(windows_path)["Result"], "inside.txt");
  EXPECT_EQ(ReadFileBytes(uploads_ / "inside.txt"), "inside");
}

TEST_F(ServeTest, DownloadsNeverLeaveTheDirectory) {
  WriteFileBytes(root_.path() / "secret.txt", "top secret");
  fs::create_symlink(root_.path() / "secret.txt", uploads_ / "link.txt");
  fs::create_directory(uploads_ / "subdir");
  const std::vector<std::pair<std::string, int>> cases = {
      {"/files/../secret.txt", 400},       {"/files/..%2Fsecret.txt", 400}, {"/files/%2E%2E%2Fsecret.txt", 400},
      {"/files/..", 400},                  {"/files/subdir/..%2F..%2Fsecret.txt", 400},
      {"/files/link.txt", 404},            {"/files/subdir", 404},          {"/files/missing.txt", 404},
      {"/files/%2Ftmp%2Fsecret.txt", 400},
  };
  for (const auto& [target, status] : cases) {
    SCOPED_TRACE(target);
    const HttpAnswer answer = Get(target);
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(answer.body.find("top secret"), std::string::npos);
  }
  EXPECT_TRUE(JsonOf(Get("/files"))["files"].empty()) << "links and directories are not listed";
}

TEST_F(ServeTest, ParallelUploadsAreStoredIntactUnderDistinctNames) {
  constexpr int kUploads = 32;
  std::vector<std::string> contents;
  for (int i = 0; i < kUploads; ++i) contents.push_back(RandomBytes(64 * 1024 + i, 100 + i));
  std::vector<HttpAnswer> answers(kUploads);
  std::vector<std::thread> clients;
  for (int i = 0; i < kUploads; ++i) {
    clients.emplace_back([&, i] { answers[i] = RawUpload({FilePart("same.bin", contents[i])}); });
  }
  for (std::thread& client : clients) client.join();

  std::set<std::string> expected = {"same.bin"};
  for (int n = 1; n < kUploads; ++n) expected.insert("same(" + std::to_string(n) + ").bin");
  std::set<std::string> answered;
  for (int i = 0; i < kUploads; ++i) {
    ASSERT_EQ(answers[i].status, 200) << answers[i].head << answers[i].body << server_.Log();
    const std::string name = JsonOf(answers[i])["Result"];
    answered.insert(name);
    EXPECT_TRUE(ReadFileBytes(uploads_ / name) == contents[i]) << name << " does not hold upload " << i;
  }
  EXPECT_EQ(answered, expected);
  EXPECT_EQ(StoredNames(), expected);
}

TEST_F(ServeTest, LogsOneLinePerRequest) {
  Get("/");
  RawUpload({FilePart("logged.txt", "12345")});
  Get("/files/..");
  const std::vector<LogLine> lines = LogLines(server_.Log());
  auto logged = [&](const std::string& method, const std::string& path, int status, const std::string& stored) {
    return std::any_of(lines.begin(), lines.end(), [&](const LogLine& line) {
      return line.method == method && line.path == path && line.status == status && line.stored == stored;
    });
  };
  EXPECT_TRUE(logged("GET", "/", 200, "")) << server_.Log();
  EXPECT_TRUE(logged("POST", "/upload", 200, "stored=\"logged.txt\"")) << server_.Log();
  EXPECT_TRUE(logged("GET", "/files/..", 400, "")) << server_.Log();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const LogLine& line) {
    return line.path == "/files/.." && line.reason == "Not a plain file name.";
  })) << server_.Log();
  for (const LogLine& line : lines) {
    EXPECT_TRUE(line.well_formed) << line.text;
    EXPECT_EQ(line.client, "127.0.0.1") << line.text;
    // Every refusal says why; nothing else does.
    EXPECT_EQ(line.status >= 400, !line.reason.empty()) << line.text;
  }
  const auto upload = std::find_if(lines.begin(), lines.end(), [](const LogLine& l) { return l.method == "POST"; });
  ASSERT_NE(upload, lines.end());
  EXPECT_GT(upload->bytes_in, 5u);
}

// HTTP/1.1 keep-alive: uploads and other requests one after another on one
// connection, until the client asks to close.
TEST_F(ServeTest, KeptAliveConnectionCarriesManyUploadsAndRequests) {
  const int fd = ConnectFrom("127.0.0.1", server_.port(), 10);
  ASSERT_GE(fd, 0);
  auto upload = [&](const std::string& name, const std::string& data) {
    const std::string body = MultipartBody(kBoundary, {FilePart(name, data)});
    return "POST /upload HTTP/1.1\r\n" + HostLine(server_.port()) + "Accept: application/json\r\nContent-Type: multipart/form-data; "
           "boundary=" + std::string(kBoundary) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  for (int i = 0; i < 5; ++i) {
    const std::string name = "kept-" + std::to_string(i) + ".bin";
    const std::string data = RandomBytes(1000 * (i + 1), 40 + i);
    ASSERT_TRUE(SendAll(fd, upload(name, data)));
    const HttpAnswer answer = ReadAnswer(fd);
    ASSERT_EQ(answer.status, 200) << answer.head << answer.body;
    EXPECT_EQ(answer.Header("Connection"), "");
    EXPECT_EQ(JsonOf(answer)["Result"], name);
    EXPECT_TRUE(ReadFileBytes(uploads_ / name) == data);
    ASSERT_TRUE(SendAll(fd, "GET /files/" + name + " HTTP/1.1\r\n" + HostLine(server_.port()) + "\r\n"));
    EXPECT_TRUE(ReadAnswer(fd).body == data);
  }
  // Two requests sent at once are answered in order.
  const std::string host = HostLine(server_.port());
  ASSERT_TRUE(SendAll(fd, "HEAD /files/kept-0.bin HTTP/1.1\r\n" + host + "\r\nGET /config HTTP/1.1\r\n" + host +
                              "Connection: close\r\n\r\n"));
  std::string rest;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) rest.append(buffer, static_cast<std::size_t>(n));
  // HEAD has no body, so the next answer follows its head at once; then
  // the server closes, as asked.
  const auto head_end = rest.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos) << rest;
  const HttpAnswer head = ParseHttpAnswer(rest.substr(0, head_end + 4));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("Content-Length"), "1000");
  const HttpAnswer config = ParseHttpAnswer(rest.substr(head_end + 4));
  EXPECT_EQ(config.status, 200);
  EXPECT_EQ(config.Header("Connection"), "close");
  EXPECT_EQ(JsonOf(config)["conflict"], "makeunique");
  ::close(fd);
}

TEST_F(ServeTest, InterruptStopsTheServerCleanly) {
  EXPECT_EQ(server_.Interrupt(), 0);
  EXPECT_NE(server_.Log().find("zmfile serve: stopped"), std::string::npos);
  EXPECT_EQ(Get("/").status, 0) << "nothing listens any more";
}

TEST(ServeCommandTest, RefusesBadOptionsAndBusyPorts) {
  TempDir root;
  EXPECT_EQ(RunCommand({ZMFILE_BINARY, "serve", "--conflict", "rename", "--dir", root.path().string()}).exit_status, 2);
  EXPECT_EQ(RunCommand({ZMFILE_BINARY, "serve", "--max-body", "0", "--dir", root.path().string()}).exit_status, 2);
  EXPECT_EQ(RunCommand({ZMFILE_BINARY, "serve", "--port", "70000"}).exit_status, 2);

  ServerProcess first(root.path() / "a", {}, root.path() / "first.log");
  ASSERT_TRUE(first.ok());
  const CommandResult busy = RunCommand({ZMFILE_BINARY, "serve", "--host", "127.0.0.1", "--port",
                                         std::to_string(first.port()), "--dir", (root.path() / "b").string()});
  EXPECT_EQ(busy.exit_status, 2);
}

// The server is a module loaded beside the executable; a zmfile without it
// refuses to serve instead of crashing, while its other commands still work.
// Bodies are streamed, not held: a body limit past 2 GiB is allowed.
TEST(ServeCommandTest, BodyLimitPastTwoGibibytes) {
  TempDir root;
  ServerProcess server(root.path() / "up", {"--max-body", "8589934592"}, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const HttpAnswer config = ParseHttpAnswer(
      RawExchange(server.port(), "GET /config HTTP/1.1\r\n" + HostLine(server.port()) + "Connection: close\r\n\r\n", 10));
  EXPECT_EQ(Json::parse(config.body, nullptr, false)["maxBody"], 8589934592ull);
  EXPECT_EQ(server.Interrupt(), 0);
}

TEST(ServeCommandTest, ZmfileWithoutItsServerModuleRefusesToServe) {
  TempDir root;
  const std::filesystem::path lone = root.path() / "zmfile";
  std::filesystem::copy_file(ZMFILE_BINARY, lone);
  std::filesystem::permissions(lone, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
  EXPECT_EQ(RunCommand({lone.string(), "serve", "--port", "0", "--dir", (root.path() / "up").string()}).exit_status,
            2);
  EXPECT_FALSE(std::filesystem::exists(root.path() / "up"));
  EXPECT_EQ(RunCommand({lone.string(), "--version"}).exit_status, 0);
}

}  // namespace
}  // namespace zimrax::testing
