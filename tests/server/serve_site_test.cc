// zmfile serve as a process against requests from other sites: a form
// posted from a foreign origin, a rebound DNS name, a conflict choice the
// server does not allow, a bind off loopback without a public URL, and the
// client address in the log with and without --trust-proxy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "server_process.h"
#include "support/run_process.h"

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* kBoundary = "siteBoundaryQ7w2";
constexpr const char* kAllChoices = "error,overwrite,makeunique";

class SiteTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    uploads_ = root_.path() / "uploads";
    fs::create_directories(uploads_);
    WriteFileBytes(uploads_ / "report.pdf", "original");
    server_ = std::make_unique<ServerProcess>(uploads_, args, root_.path() / "server.log");
    ASSERT_TRUE(server_->ok()) << server_->Log();
  }

  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Interrupt(), 0) << server_->Log();
    }
  }

  std::string Own() const { return "http://127.0.0.1:" + std::to_string(server_->port()); }

  // POST /upload of report.pdf holding `bytes` with conflict=`conflict`, the
  // header lines `extra` and the Host line `host` ("" for the right one).
  HttpAnswer Post(const std::string& bytes, const std::string& conflict, const std::string& extra,
                  const std::string& host = "") {
    const std::string body =
        MultipartBody(kBoundary, {{"conflict", conflict, false, ""}, {"upload1", bytes, true, "report.pdf"}});
    const std::string host_line = host.empty() ? HostLine(server_->port()) : "Host: " + host + "\r\n";
    return ParseHttpAnswer(RawExchange(
        server_->port(), "POST /upload HTTP/1.1\r\n" + host_line + extra +
                             "Accept: application/json\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
                             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                             body));
  }

  HttpAnswer Get(const std::string& target, const std::string& host_line, const std::string& source = "127.0.0.1",
                 const std::string& extra = "") {
    const int fd = ConnectFrom(source, server_->port(), 10);
    if (fd < 0) return {};
    SendAll(fd, "GET " + target + " HTTP/1.1\r\n" + host_line + extra + "Connection: close\r\n\r\n");
    const HttpAnswer answer = ReadAnswer(fd);
    ::close(fd);
    return answer;
  }

  std::string Stored() const { return ReadFileBytes(uploads_ / "report.pdf"); }

  // The log lines that hold all of `parts`.
  std::vector<std::string> LogLinesWith(const std::vector<std::string>& parts) const {
    std::vector<std::string> found;
    std::istringstream lines(server_->Log());
    for (std::string line; std::getline(lines, line);) {
      bool all = true;
      for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
      if (all) found.push_back(line);
    }
    return found;
  }

  TempDir root_;
  fs::path uploads_;
  std::unique_ptr<ServerProcess> server_;
};

// The attack seen: a page elsewhere posts a form with conflict=overwrite.
// Even where the server lets forms overwrite, only its own pages may.
TEST_F(SiteTest, PostsFromOtherOriginsAreRefusedAndStoreNothing) {
  Start({"--client-conflict", kAllChoices});
  const std::string port = std::to_string(server_->port());
  struct Case {
    std::string label;
    std::string headers;
  };
  const std::vector<Case> refused = {
      {"foreign page", "Origin: http://attacker.example\r\nSec-Fetch-Site: cross-site\r\n"},
      {"another loopback address", "Origin: http://127.0.0.2:" + port + "\r\n"},
      {"another port", "Origin: http://127.0.0.1:1\r\n"},
      {"opaque origin", "Origin: null\r\n"},
      {"foreign Referer only", "Referer: http://attacker.example/page.html\r\n"},
      {"same-site", "Sec-Fetch-Site: same-site\r\n"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.label);
    const HttpAnswer answer = Post("replaced by " + c.label, "overwrite", c.headers);
    EXPECT_EQ(answer.status, 403) << answer.head << answer.body;
    EXPECT_NE(Json::parse(answer.body, nullptr, false).value("Refused", "").find("not accepted"), std::string::npos)
        << answer.body;
    EXPECT_EQ(Stored(), "original");
  }
  EXPECT_EQ(LogLinesWith({"POST /upload 403", "reason=\""}).size(), refused.size()) << server_->Log();
  // The same request from the server's own page goes through.
  const HttpAnswer own = Post("from the page", "overwrite", "Origin: " + Own() + "\r\nSec-Fetch-Site: same-origin\r\n");
  EXPECT_EQ(own.status, 200) << own.body;
  EXPECT_EQ(Stored(), "from the page");
  const HttpAnswer curl = Post("from curl", "overwrite", "");
  EXPECT_EQ(curl.status, 200) << curl.body;
  EXPECT_EQ(Stored(), "from curl");
}

// DNS rebinding: a foreign name resolved to 127.0.0.1 reaches the port, but
// the server does not answer for it, reading or writing.
TEST_F(SiteTest, ForeignHostIsMisdirected) {
  Start({});
  const std::string port = std::to_string(server_->port());
  const std::vector<std::pair<std::string, int>> hosts = {
      {"127.0.0.1:" + port, 200},        {"localhost:" + port, 200}, {"[::1]:" + port, 200},
      {"attacker.example:" + port, 421}, {"127.0.0.1", 421},         {"localhost:1", 421},
  };
  for (const auto& [host, status] : hosts) {
    SCOPED_TRACE(host);
    const HttpAnswer answer = Get("/files", "Host: " + host + "\r\n");
    EXPECT_EQ(answer.status, status) << answer.body;
    if (status == 421) {
      EXPECT_EQ(answer.body.find("report.pdf"), std::string::npos);
      EXPECT_EQ(LogLinesWith({"GET /files 421", "reason=\"This server does not answer for the host"}).empty(), false);
    }
  }
  EXPECT_EQ(Get("/files", "").status, 400) << "HTTP/1.1 needs a Host";
  const HttpAnswer post = Post("rebound", "", "", "attacker.example:" + port);
  EXPECT_EQ(post.status, 421);
  // Without Accept: application/json an upload is answered with a page that
  // lists the stored files; a refused one must not be.
  const std::string body = MultipartBody(kBoundary, {{"upload1", "rebound", true, "report.pdf"}});
  const HttpAnswer page =
      ParseHttpAnswer(RawExchange(server_->port(), "POST /upload HTTP/1.1\r\nHost: attacker.example:" + port +
                                                       "\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
                                                       "\r\nContent-Length: " + std::to_string(body.size()) +
                                                       "\r\nConnection: close\r\n\r\n" + body));
  EXPECT_EQ(page.status, 421);
  EXPECT_EQ(page.body.find("report.pdf"), std::string::npos) << page.body;
  EXPECT_EQ(Stored(), "original");
  EXPECT_EQ(fs::exists(uploads_ / "report(1).pdf"), false);
}

// The form's conflict field chooses only within --client-conflict.
TEST_F(SiteTest, ConflictChoicesAreLimitedByTheServer) {
  struct Case {
    std::string label;
    std::vector<std::string> args;
    std::string conflict;
    int status;
    std::string stored;
  };
  const std::vector<Case> cases = {
      {"overwrite without consent", {}, "overwrite", 400, "original"},
      {"unknown policy", {"--client-conflict", kAllChoices}, "replace", 400, "original"},
      {"error within the default", {}, "error", 409, "original"},
      {"overwrite with consent", {"--client-conflict", kAllChoices}, "overwrite", 200, "second"},
      {"overwrite only", {"--client-conflict", "overwrite"}, "Overwrite", 200, "second"},
      {"server default beyond the ceiling", {"--conflict", "overwrite"}, "", 200, "second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (server_) {
      EXPECT_EQ(server_->Interrupt(), 0);
    }
    server_.reset();
    Start(c.args);
    const HttpAnswer answer = Post("second", c.conflict, "");
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_EQ(Stored(), c.stored);
    if (c.status == 400) {
      const std::string refused = Json::parse(answer.body, nullptr, false).value("Refused", "");
      EXPECT_NE(refused.find("conflict=" + c.conflict + " is not"), std::string::npos) << refused;
      EXPECT_EQ(LogLinesWith({"POST /upload 400", "reason=\"conflict=" + c.conflict}).size(), 1u) << server_->Log();
    }
    const HttpAnswer config = Get("/config", HostLine(server_->port()));
    std::string wanted = "error,makeunique";
    for (std::size_t i = 0; i + 1 < c.args.size(); ++i) {
      if (c.args[i] == "--client-conflict") wanted = c.args[i + 1];
    }
    std::string listed;
    const Json parsed = Json::parse(config.body, nullptr, false);
    for (const Json& choice : parsed["clientConflict"]) {
      if (!listed.empty()) listed += ',';
      listed += choice.get<std::string>();
    }
    EXPECT_EQ(listed, wanted) << config.head << config.body;
  }
}

TEST(ServeSiteOptionsTest, RefusesBadSiteOptionsBeforeStarting) {
  TempDir root;
  const std::string dir = (root.path() / "never").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--host", "0.0.0.0"}, "is not a loopback address"},
      // The hint proposes the scheme the server will speak.
      {{"--host", "0.0.0.0"}, "(for example --public-url http://files.example.org:8080/)"},
      {{"--host", "0.0.0.0", "--tls-cert", "cert.pem", "--tls-key", "key.pem"},
       "(for example --public-url https://files.example.org:8080/)"},
      {{"--host", "192.0.2.1"}, "--public-url"},
      {{"--host", "::"}, "is not a loopback address"},
      {{"--public-url", "ftp://files.example.org/"}, "http:// or https://"},
      {{"--public-url", "https://files.example.org/?q"}, "query"},
      {{"--public-url", "https://me@files.example.org/"}, "user name"},
      {{"--public-url", "https://files.example.org:99999/"}, "port"},
      {{"--client-conflict", "error,rename"}, "\"rename\" is not a policy"},
      {{"--client-conflict", ""}, "empty name"},
      {{"--allow-types", "pdf"}, "--allow-types pdf: \"pdf\" is neither an extension"},
      {{"--deny-types", ".exe,image/"}, "--deny-types .exe,image/: \"image/\" is neither"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> argv = {ZmfilePath(), "serve", "--port", "0", "--dir", dir};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult run = RunProcess(argv, "", 20);
    EXPECT_EQ(run.exit_status, 2) << args[1] << ": " << run.out << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir)) << "nothing is set up before the options are checked";
  }
}

// A public URL adds its host name and origin; the server prints it as the
// address to open.
TEST_F(SiteTest, PublicUrlAddsItsHostAndOrigin) {
  Start({"--public-url", "https://files.example.org/sub", "--client-conflict", kAllChoices});
  EXPECT_NE(server_->Log().find("zmfile serve: open https://files.example.org/sub/\n"), std::string::npos)
      << server_->Log();
  EXPECT_EQ(Get("/files", "Host: files.example.org\r\n").status, 200);
  EXPECT_EQ(Get("/files", "Host: files.example.org:8443\r\n").status, 421);
  EXPECT_EQ(Post("via proxy", "overwrite", "Origin: https://files.example.org\r\n", "files.example.org").status, 200);
  EXPECT_EQ(Stored(), "via proxy");
  EXPECT_EQ(Post("via http", "overwrite", "Origin: http://files.example.org\r\n", "files.example.org").status, 403);
  EXPECT_EQ(Stored(), "via proxy");
}

// The log names the peer, or with --trust-proxy the address the proxy
// appended to X-Forwarded-For.
TEST_F(SiteTest, LogShowsThePeerOrTheForwardedClient) {
  const std::string forwarded = "X-Forwarded-For: 198.51.100.1, 203.0.113.9\r\n";
  Start({});
  ASSERT_EQ(Get("/config", HostLine(server_->port()), "127.0.0.3", forwarded).status, 200);
  EXPECT_EQ(LogLinesWith({"GET /config 200", " client=127.0.0.3"}).size(), 1u) << server_->Log();
  EXPECT_TRUE(LogLinesWith({"203.0.113.9"}).empty()) << server_->Log();
  EXPECT_EQ(server_->Interrupt(), 0);

  Start({"--trust-proxy"});
  ASSERT_EQ(Get("/config", HostLine(server_->port()), "127.0.0.3", forwarded).status, 200);
  ASSERT_EQ(Get("/config", HostLine(server_->port()), "127.0.0.3").status, 200);
  EXPECT_EQ(LogLinesWith({"GET /config 200", " client=203.0.113.9"}).size(), 1u) << server_->Log();
  EXPECT_EQ(LogLinesWith({"GET /config 200", " client=127.0.0.3"}).size(), 1u) << "no header: the peer";
  EXPECT_TRUE(LogLinesWith({"198.51.100.1"}).empty()) << "client-sent entries are not believed";
}

}  // namespace
}  // namespace zimrax::testing
