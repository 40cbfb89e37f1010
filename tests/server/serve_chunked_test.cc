// Chunked request bodies: the framing rules on their own, then a server
// process that decodes chunked uploads, holds them to its limits and
// refuses every framing that request smuggling relies on.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "server/transfer_framing.h"
#include "server_process.h"

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using zmfile::CheckBodyFraming;

constexpr const char* kBoundary = "chunkedBoundary5e9Qh2";
constexpr std::uint64_t kMaxBody = 256 * 1024;

TEST(BodyFramingTest, OnlyChunkedAloneOrNoTransferEncodingPasses) {
  struct Case {
    std::string label;
    std::vector<std::pair<std::string, std::string>> headers;
    unsigned version;
    int status;  // 0: passes
  };
  const std::vector<Case> cases = {
      {"no body framing", {}, 11, 0},
      {"content length", {{"Content-Length", "5"}}, 11, 0},
      {"chunked", {{"Transfer-Encoding", "chunked"}}, 11, 0},
      {"chunked in capitals, blanks around", {{"Transfer-Encoding", " \tCHUNKED "}}, 11, 0},
      {"chunked with a length", {{"Transfer-Encoding", "chunked"}, {"Content-Length", "5"}}, 11, 400},
      {"length, then chunked", {{"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}}, 11, 400},
      {"two fields", {{"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "chunked"}}, 11, 400},
      {"gzip field, then chunked field", {{"Transfer-Encoding", "gzip"}, {"Transfer-Encoding", "chunked"}}, 11, 400},
      {"not ending in chunked", {{"Transfer-Encoding", "chunked, gzip"}}, 11, 400},
      {"gzip alone", {{"Transfer-Encoding", "gzip"}}, 11, 400},
      {"identity", {{"Transfer-Encoding", "identity"}}, 11, 400},
      {"chunked twice", {{"Transfer-Encoding", "chunked, chunked"}}, 11, 400},
      {"empty item", {{"Transfer-Encoding", ",chunked"}}, 11, 400},
      {"empty value", {{"Transfer-Encoding", ""}}, 11, 400},
      {"parameter", {{"Transfer-Encoding", "chunked;q=1"}}, 11, 400},
      {"quoted", {{"Transfer-Encoding", "\"chunked\""}}, 11, 400},
      {"vertical tab", {{"Transfer-Encoding", "chunked\x0b"}}, 11, 400},
      {"look-alike", {{"Transfer-Encoding", "xchunked"}}, 11, 400},
      {"on HTTP/1.0", {{"Transfer-Encoding", "chunked"}}, 10, 400},
      {"another coding before chunked", {{"Transfer-Encoding", "gzip, chunked"}}, 11, 501},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    boost::beast::http::fields headers;
    for (const auto& [name, value] : c.headers) headers.insert(name, value);
    const std::optional<zmfile::Refusal> refusal = CheckBodyFraming(headers, c.version);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status);
    if (refusal) {
      EXPECT_EQ(refusal->kind, zmfile::RefusalKind::kFraming);
    }
  }
}

// `body` as chunks whose sizes are drawn from `sizes` in turn, each size
// line in lower or upper case hex with an extension now and then.
std::string Chunked(const std::string& body, const std::vector<std::size_t>& sizes, const std::string& trailer = "") {
  std::string out;
  std::size_t at = 0;
  for (std::size_t i = 0; at < body.size(); ++i) {
    const std::size_t size = std::min(sizes[i % sizes.size()], body.size() - at);
    char line[32];
    std::snprintf(line, sizeof line, i % 2 ? "%zX" : "%zx", size);
    out += line;
    if (i % 3 == 1) out += ";name=\"value\"";
    out += "\r\n" + body.substr(at, size) + "\r\n";
    at += size;
  }
  return out + "0\r\n" + trailer + "\r\n";
}

std::string ChunkedHead(int port, bool keep_alive = false) {
  return "POST /upload HTTP/1.1\r\n" + HostLine(port) + "Accept: application/json\r\n" +
         "Content-Type: multipart/form-data; boundary=" + kBoundary + "\r\nTransfer-Encoding: chunked\r\n" +
         (keep_alive ? "" : "Connection: close\r\n") + "\r\n";
}

// The status lines in `raw`: "HTTP/1.1 ", three digits, a blank (a
// message's text may name HTTP/1.1 too).
std::size_t AnswerCount(const std::string& raw) {
  std::size_t count = 0;
  for (std::size_t at = raw.find("HTTP/1.1 "); at != std::string::npos; at = raw.find("HTTP/1.1 ", at + 1)) {
    const std::string status = raw.substr(at + 9, 4);
    if (status.size() == 4 && std::isdigit(static_cast<unsigned char>(status[0])) &&
        std::isdigit(static_cast<unsigned char>(status[1])) && std::isdigit(static_cast<unsigned char>(status[2])) &&
        status[3] == ' ') {
      ++count;
    }
  }
  return count;
}

class ChunkedServeTest : public ::testing::Test {
 protected:
  // Each refused request's connection lingers (up to 2 s) while the server
  // drops what its client still sends, and holds its place among the 16 an
  // address may have: a quick run of refusals from loopback could fill
  // them and make the next request's answer 503 (seen once under load).
  ChunkedServeTest()
      : uploads_(root_.path() / "uploads"),
        server_(uploads_, {"--max-body", std::to_string(kMaxBody), "--max-header", "4096", "--max-per-address", "64"},
                root_.path() / "server.log") {}
  void SetUp() override { ASSERT_TRUE(server_.ok()) << server_.Log(); }
  void TearDown() override { EXPECT_EQ(server_.Interrupt(), 0) << server_.Log(); }

  std::string Form(const std::string& name, const std::string& data) {
    return MultipartBody(kBoundary, {{"upload1", data, true, name}});
  }
  std::size_t StoredCount() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(uploads_), fs::directory_iterator()));
  }

  TempDir root_;
  fs::path uploads_;
  ServerProcess server_;
};

// Differential: whatever the chunking, the stored file and the answer are
// those of the same form sent with Content-Length.
TEST_F(ChunkedServeTest, AnyChunkingStoresWhatContentLengthStores) {
  const std::vector<std::vector<std::size_t>> chunkings = {{1}, {7, 1, 300}, {4096}, {65536, 3}, {200000}, {kMaxBody}};
  std::mt19937 random(11);
  for (std::size_t i = 0; i < chunkings.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string data = RandomBytes(1000 + random() % 100000, static_cast<unsigned>(i));
    const std::string form = Form("plain" + std::to_string(i) + ".bin", data);
    const HttpAnswer plain =
        ParseHttpAnswer(RawExchange(server_.port(), UploadRequest(server_.port(), kBoundary, form)));
    ASSERT_EQ(plain.status, 200) << plain.body;
    const std::string chunked_form = Form("chunked" + std::to_string(i) + ".bin", data);
    const std::string trailer = i % 2 ? "X-Checksum: none\r\n" : "";
    const HttpAnswer chunked = ParseHttpAnswer(
        RawExchange(server_.port(), ChunkedHead(server_.port()) + Chunked(chunked_form, chunkings[i], trailer)));
    ASSERT_EQ(chunked.status, 200) << chunked.body;
    Json expected = Json::parse(plain.body);
    Json got = Json::parse(chunked.body);
    EXPECT_EQ(got["Result"], "chunked" + std::to_string(i) + ".bin");
    EXPECT_EQ(ReadFileBytes(uploads_ / ("chunked" + std::to_string(i) + ".bin")), data);
    got.erase("Result"), got.erase("Message"), got["Files"][0].erase("Result"), got["Files"][0].erase("Message");
    expected.erase("Result"), expected.erase("Message"), expected["Files"][0].erase("Result"),
        expected["Files"][0].erase("Message");
    EXPECT_EQ(got, expected);
  }
}

TEST_F(ChunkedServeTest, KeptAliveConnectionReadsTheRequestAfterAChunkedBody) {
  const std::string form = Form("first.txt", "first");
  const std::string request = ChunkedHead(server_.port(), true) + Chunked(form, {10}) + "GET /config HTTP/1.1\r\n" +
                              HostLine(server_.port()) + "Connection: close\r\n\r\n";
  const std::string raw = RawExchange(server_.port(), request);
  EXPECT_EQ(AnswerCount(raw), 2u) << raw;
  EXPECT_NE(raw.find("\"maxBody\""), std::string::npos) << raw;
  EXPECT_EQ(ReadFileBytes(uploads_ / "first.txt"), "first");
}

// The limit counts decoded bytes: chunk framing does not count against it,
// and a chunk that would pass it is refused from its size line, its data unsent.
TEST_F(ChunkedServeTest, MaxBodyCountsDecodedBytes) {
  const std::string fits = Form("fits.bin", RandomBytes(kMaxBody - 400, 5));
  ASSERT_LE(fits.size(), kMaxBody);
  const std::string framed = Chunked(fits, {16});
  ASSERT_GT(framed.size(), kMaxBody) << "the framing alone passes the limit";
  EXPECT_EQ(ParseHttpAnswer(RawExchange(server_.port(), ChunkedHead(server_.port()) + framed)).status, 200);

  const std::string first = Form("over.bin", "").substr(0, 100);
  char line[32];
  std::snprintf(line, sizeof line, "%zx\r\n", static_cast<std::size_t>(kMaxBody));
  const std::string head = ChunkedHead(server_.port()) + "64\r\n" + first + "\r\n" + line;  // no data follows
  const auto start = std::chrono::steady_clock::now();
  const HttpAnswer answer = ParseHttpAnswer(RawExchange(server_.port(), head, 10));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(answer.status, 413) << answer.head;
  const Json json = Json::parse(answer.body, nullptr, false);
  EXPECT_EQ(json.value("RefusedKind", ""), "too-large");
  EXPECT_NE(json.value("Message", "").find("--max-body"), std::string::npos) << answer.body;
  EXPECT_EQ(StoredCount(), 1u);
}

// Each refused shape: its status, its log reason, nothing stored, and the
// smuggled request behind it never answered.
TEST_F(ChunkedServeTest, SmugglingShapesAndBadChunksAreRefused) {
  struct Case {
    std::string label;
    std::string framing;  // header lines
    std::string body;
    int status;
    std::string logged;
  };
  const std::string form = Form("smuggled.txt", "data");
  const std::string smuggled = "GET /config HTTP/1.1\r\n" + HostLine(server_.port()) + "\r\n";
  const std::string chunk = Chunked(form, {1000});
  const std::string te = "Transfer-Encoding: chunked\r\n";
  const std::string long_extension = "5;" + std::string(5000, 'e') + "\r\nhello\r\n0\r\n\r\n";
  const std::string long_trailer = "5\r\nhello\r\n0\r\nX-Pad: " + std::string(5000, 't') + "\r\n\r\n";
  const std::vector<Case> cases = {
      {"length and chunked", te + "Content-Length: " + std::to_string(chunk.size()) + "\r\n", chunk, 400,
       "Content-Length"},
      {"chunked after a length", "Content-Length: 5\r\n" + te, chunk, 400, "Transfer-Encoding"},
      {"gzip after a length", "Content-Length: 5\r\nTransfer-Encoding: gzip\r\n", chunk, 400, "Transfer-Encoding"},
      {"length after gzip", "Transfer-Encoding: gzip\r\nContent-Length: 5\r\n", chunk, 400, "together"},
      {"not ending in chunked", "Transfer-Encoding: chunked, identity\r\n", chunk, 400, "not chunked"},
      {"unknown coding before chunked", "Transfer-Encoding: gzip, chunked\r\n", chunk, 501, "other than chunked"},
      {"two fields", te + "Transfer-Encoding: identity\r\n", chunk, 400, "Transfer-Encoding"},
      {"identity, then chunked", "Transfer-Encoding: identity\r\n" + te, chunk, 400, "more than one"},
      {"obfuscated", "Transfer-Encoding: chunked;x\r\n", chunk, 400, "plain list"},
      {"negative size", te, "-5\r\nhello\r\n0\r\n\r\n", 400, "hexadecimal"},
      {"plus sign", te, "+5\r\nhello\r\n0\r\n\r\n", 400, "hexadecimal"},
      {"overflowing size", te, "10000000000000000\r\nhello\r\n0\r\n\r\n", 400, "hexadecimal"},
      {"not hex", te, "5g\r\nhello\r\n0\r\n\r\n", 400, "chunk"},
      {"hex prefix", te, "0x5\r\nhello\r\n0\r\n\r\n", 400, "chunk"},
      {"chunk longer than its size", te, "3\r\nhello\r\n0\r\n\r\n", 400, "chunk"},
      {"long chunk-size line", te, long_extension, 400, "chunk-size line longer than 4096"},
      {"long trailer", te, long_trailer, 431, "trailer section longer than 4096"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::size_t logged_before = server_.Log().size();
    const std::string request = "POST /upload HTTP/1.1\r\n" + HostLine(server_.port()) +
                                "Accept: application/json\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
                                "\r\n" + c.framing + "\r\n" + c.body + smuggled;
    const std::string raw = RawExchange(server_.port(), request, 10);
    const HttpAnswer answer = ParseHttpAnswer(raw);
    EXPECT_EQ(answer.status, c.status) << raw;
    EXPECT_EQ(AnswerCount(raw), 1u) << raw;
    EXPECT_EQ(answer.Header("Connection"), "close");
    EXPECT_EQ(StoredCount(), 0u);
    const std::string log = server_.Log().substr(logged_before);
    // Refused by the header parser ("- -") or after it ("POST /upload").
    EXPECT_NE(log.find(" " + std::to_string(c.status) + " in="), std::string::npos) << log;
    EXPECT_NE(log.find("reason="), std::string::npos) << log;
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
  }
  // The same shapes on a request that is not an upload.
  const std::string get =
      "GET /config HTTP/1.1\r\n" + HostLine(server_.port()) + "Transfer-Encoding: chunked, x\r\n\r\n" + smuggled;
  const std::string raw = RawExchange(server_.port(), get, 10);
  EXPECT_EQ(ParseHttpAnswer(raw).status, 400);
  EXPECT_EQ(AnswerCount(raw), 1u) << raw;
}

}  // namespace
}  // namespace zimrax::testing
