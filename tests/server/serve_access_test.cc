// zmfile serve with users and with TLS, as a process on a free loopback
// port: every route asks for credentials, the right ones (bcrypt and
// SHA-crypt) open it, refusals are logged without the password, bad user
// files and unprotected non-loopback binds stop the start, and HTTPS holds
// up against plain HTTP and a handshake that never comes.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "base64.h"
#include "server_process.h"
#include "support/run_process.h"

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kBoundary = "zimraxBoundaryAccess9x";
constexpr const char* kChallenge = "Basic realm=\"zmfile\", charset=\"UTF-8\"";
constexpr const char* kAnnPassword = "ann's p\xc3\xa4ss";  // UTF-8, as browsers send it
constexpr const char* kBobPassword = "bob-Secret-42";

// ann: bcrypt from htpasswd -B (lowest cost, for speed); bob: SHA-512-crypt
// from openssl passwd -6. Returns the file's text.
std::string MakeUsers(const fs::path& path) {
  const std::string ann = RunCommand({"htpasswd", "-nbB", "-C", "4", "ann", kAnnPassword}).out;
  std::string bob = RunCommand({"openssl", "passwd", "-6", kBobPassword}).out;
  const std::string text = "# zmfile users\n" + ann.substr(0, ann.find('\n') + 1) + "\nbob:" + bob;
  WriteFileBytes(path, text);
  return text;
}

bool MakeCertificate(const fs::path& dir) {
  return RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", (dir / "key.pem").string(), "-out", (dir / "cert.pem").string(), "-days", "2", "-subj",
                     "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"})
             .exit_status == 0;
}

std::string AuthorizationLine(const std::string& value) {
  return value.empty() ? "" : "Authorization: " + value + "\r\n";
}

class AuthServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeUsers(root_.path() / "users");
    server_ = std::make_unique<ServerProcess>(root_.path() / "uploads",
                                              std::vector<std::string>{"--htpasswd", (root_.path() / "users").string()},
                                              root_.path() / "server.log");
    ASSERT_TRUE(server_->ok()) << server_->Log();
  }
  void TearDown() override { EXPECT_EQ(server_->Interrupt(), 0) << server_->Log(); }

  HttpAnswer Request(const std::string& method, const std::string& target, const std::string& authorization,
                     const std::string& body = "") {
    std::string request = method + " " + target + " HTTP/1.1\r\n" + HostLine(server_->port()) +
                          "Connection: close\r\n" + AuthorizationLine(authorization);
    if (!body.empty()) {
      request += "Content-Type: multipart/form-data; boundary=" + std::string(kBoundary) +
                 "\r\nAccept: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return ParseHttpAnswer(RawExchange(server_->port(), request + "\r\n" + body));
  }

  TempDir root_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(AuthServeTest, EveryRouteAsksForCredentialsAndOpensToTheRightOnes) {
  const std::string upload = MultipartBody(kBoundary, {{"upload1", "stored bytes\n", true, "a.txt"}});
  struct Route {
    std::string method, target, body;
    int open_status;  // with right credentials
  };
  const std::vector<Route> routes = {
      {"POST", "/upload", upload, 200}, {"GET", "/", "", 200},        {"GET", "/index.html", "", 200},
      {"GET", "/app.js", "", 200},      {"GET", "/app.css", "", 200}, {"GET", "/favicon.svg", "", 200},
      {"GET", "/config", "", 200},      {"GET", "/files", "", 200},   {"GET", "/files/a.txt", "", 200},
      {"HEAD", "/", "", 200},           {"GET", "/nothing", "", 404}, {"GET", "/files/none", "", 404},
  };
  struct Credentials {
    std::string label, header, user;
    bool right;
  };
  const std::vector<Credentials> credentials = {
      {"none", "", "", false},
      {"wrong password", "Basic " + zmfile::Base64Encode("ann:ann's pass"), "", false},
      {"other user's password", "Basic " + zmfile::Base64Encode(std::string("bob:") + kAnnPassword), "", false},
      {"unknown user", "Basic " + zmfile::Base64Encode(std::string("zed:") + kBobPassword), "", false},
      {"not base64", "Basic ???", "", false},
      {"another scheme", "Bearer abc", "", false},
      {"bcrypt user", "Basic " + zmfile::Base64Encode(std::string("ann:") + kAnnPassword), "ann", true},
      {"SHA-crypt user", "Basic " + zmfile::Base64Encode(std::string("bob:") + kBobPassword), "bob", true},
  };
  // Wrong passwords and unknown users count against this address: the
  // first 5 are refused with 401, later ones may wait (429, no hash). The
  // right ones are remembered once checked, so they pass whatever came before.
  int failed_checks = 0;
  for (const Route& route : routes) {
    for (const Credentials& who : credentials) {
      const HttpAnswer answer = Request(route.method, route.target, who.header, route.body);
      const std::string label = who.label + ": " + route.method + " " + route.target;
      const bool counted = !who.right && who.header.starts_with("Basic ") && who.label != "not base64";
      if (who.right) {
        EXPECT_EQ(answer.status, route.open_status) << label << "\n" << answer.head;
        EXPECT_EQ(answer.Header("WWW-Authenticate"), "") << label;
      } else if (counted && failed_checks >= 5 && answer.status == 429) {
        EXPECT_NE(answer.Header("Retry-After"), "") << label;
      } else {
        EXPECT_EQ(answer.status, 401) << label << "\n" << answer.head;
        EXPECT_EQ(answer.Header("WWW-Authenticate"), kChallenge) << label;
      }
      if (!who.right) {
        EXPECT_EQ(answer.body.find("stored bytes"), std::string::npos) << label;
      }
      failed_checks += counted;
    }
  }
  // Only the two right uploads stored anything.
  EXPECT_TRUE(fs::exists(root_.path() / "uploads" / "a.txt"));
  std::size_t stored = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root_.path() / "uploads")) ++stored;
  EXPECT_EQ(stored, 2u);

  const std::string log = server_->Log();
  EXPECT_NE(log.find("401: no credentials"), std::string::npos) << log;
  EXPECT_NE(log.find("401: wrong password for user \"ann\""), std::string::npos) << log;
  EXPECT_NE(log.find("401: wrong password for user \"bob\""), std::string::npos) << log;
  EXPECT_NE(log.find("401: unknown user \"zed\""), std::string::npos) << log;
  EXPECT_NE(log.find("401: the Authorization header is not valid Basic credentials"), std::string::npos) << log;
  EXPECT_NE(log.find("GET /config 200 in=0 out=101"), std::string::npos) << log;
  EXPECT_NE(log.find(" user=\"ann\""), std::string::npos) << log;
  EXPECT_NE(log.find("POST /upload 200"), std::string::npos) << log;
  EXPECT_NE(log.find(" user=\"bob\""), std::string::npos) << log;
  // Line by line: a refused request is logged without a user, a let-in one
  // with the user it was let in as.
  std::map<std::string, std::size_t> refused_by_user, open_by_user;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("zmfile serve:")) continue;
    std::istringstream fields(line);
    std::string time, method, path;
    int status = 0;
    fields >> time >> method >> path >> status;
    std::string user;
    if (const std::size_t at = line.find(" user=\""); at != std::string::npos) {
      user = line.substr(at + 7, line.find('"', at + 7) - (at + 7));
    }
    // 429: a sign-in refused unchecked, after too many failures from the address.
    ++(status == 401 || status == 429 ? refused_by_user : open_by_user)[user];
  }
  std::size_t refused_credentials = 0;
  for (const Credentials& who : credentials) refused_credentials += who.right ? 0 : 1;
  EXPECT_EQ(refused_by_user, (std::map<std::string, std::size_t>{{"", refused_credentials * routes.size()}}))
      << "a refused request is logged without a user:\n" << log;
  EXPECT_EQ(open_by_user, (std::map<std::string, std::size_t>{{"ann", routes.size()}, {"bob", routes.size()}}))
      << log;
  for (const char* secret : {kAnnPassword, kBobPassword, "ann's pass"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << "password in the log: " << secret;
  }
}

// The credentials are checked on the headers alone: a 401 comes at once for
// an upload whose body is never sent, and even when the client waits for
// 100 Continue, which it then never gets.
TEST_F(AuthServeTest, AnUploadIsRefusedBeforeItsBody) {
  for (const bool expect_continue : {false, true}) {
    const std::string head = "POST /upload HTTP/1.1\r\n" + HostLine(server_->port()) +
                             "Content-Type: multipart/form-data; boundary=" + std::string(kBoundary) +
                             "\r\nContent-Length: 50000000\r\n" + (expect_continue ? "Expect: 100-continue\r\n" : "") +
                             "\r\n";
    const auto start = Clock::now();
    const std::string raw = RawExchange(server_->port(), head, 20);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(raw.starts_with("HTTP/1.1 401 ")) << raw;
    EXPECT_EQ(raw.find("100 Continue"), std::string::npos) << raw;
    // The answer, then a linger of about 2 s, then the close; not a wait for 50 MB.
    EXPECT_LT(seconds, 6.0);
  }
  EXPECT_TRUE(fs::is_empty(root_.path() / "uploads"));
  EXPECT_NE(server_->Log().find("POST /upload 401 in=0 "), std::string::npos) << server_->Log();
}

// A browser asks without credentials first, then again on the same
// connection with them.
TEST_F(AuthServeTest, TheConnectionStaysOpenAfterA401) {
  const int fd = ConnectFrom("127.0.0.1", server_->port(), 10);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\n" + HostLine(server_->port()) + "\r\n"));
  const HttpAnswer first = ReadAnswer(fd);
  EXPECT_EQ(first.status, 401);
  ASSERT_TRUE(SendAll(fd, "GET /config HTTP/1.1\r\n" + HostLine(server_->port()) + "Authorization: Basic " +
                              zmfile::Base64Encode(std::string("bob:") + kBobPassword) + "\r\n\r\n"));
  const HttpAnswer second = ReadAnswer(fd);
  EXPECT_EQ(second.status, 200);
  EXPECT_TRUE(nlohmann::json::parse(second.body, nullptr, false).contains("maxBody")) << second.body;
  ::close(fd);
}

// A flood of wrong passwords (each a bcrypt hash at cost 10) is bounded by
// --max-hash-checks (503 past it; one address gets a quarter of them),
// throttled for an address that keeps failing (429), and runs on the hash
// threads, so a user whose credentials are cached is still answered
// promptly meanwhile.
TEST(AuthFloodTest, WrongPasswordsHoldUpOnlyThemselves) {
  TempDir root;
  const std::string ann = RunCommand({"htpasswd", "-nbB", "-C", "10", "ann", kAnnPassword}).out;
  const std::string bob = RunCommand({"openssl", "passwd", "-6", kBobPassword}).out;
  WriteFileBytes(root.path() / "users", ann.substr(0, ann.find('\n') + 1) + "bob:" + bob);
  ServerProcess server(root.path() / "uploads",
                       {"--htpasswd", (root.path() / "users").string(), "--max-hash-checks", "3", "--max-per-address",
                        "64", "--threads", "2"},
                       root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const auto request = [&](const std::string& credentials) {
    return "GET /config HTTP/1.1\r\n" + HostLine(server.port()) + "Connection: close\r\nAuthorization: Basic " +
           zmfile::Base64Encode(credentials) + "\r\n\r\n";
  };
  const std::string right = request(std::string("bob:") + kBobPassword);
  ASSERT_EQ(ParseHttpAnswer(RawExchange(server.port(), right)).status, 200);  // now cached

  std::atomic<bool> flooding{true};
  // The flood comes from another address: connections past its accept
  // rate are closed unanswered (shed).
  std::atomic<int> refused{0}, busy{0}, throttled{0}, shed{0}, other{0};
  std::vector<std::thread> flood;
  for (int t = 0; t < 8; ++t) {
    flood.emplace_back([&] {
      for (int i = 0; i < 200 && flooding; ++i) {
        const int fd = ConnectFrom("127.0.0.2", server.port(), 20);
        const bool sent = fd >= 0 && SendAll(fd, request("ann:guess"));
        const HttpAnswer answer = sent ? ReadAnswer(fd) : HttpAnswer{};
        if (fd >= 0) ::close(fd);
        (answer.status == 401   ? refused
         : answer.status == 503 ? busy
         : answer.status == 429 ? throttled
         : answer.status == 0   ? shed
                                : other)++;
        if (answer.status == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double slowest = 0;
  int served = 0;
  for (int i = 0; i < 10; ++i) {
    const auto start = Clock::now();
    served += ParseHttpAnswer(RawExchange(server.port(), right, 20)).status == 200;
    slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  flooding = false;
  for (std::thread& thread : flood) thread.join();
  EXPECT_EQ(served, 10);
  EXPECT_LT(slowest, 1.0) << "a cached user waited behind the hashes";
  EXPECT_GT(refused.load(), 0);
  EXPECT_GT(busy.load(), 0) << "more than --max-hash-checks checks were let wait";
  EXPECT_EQ(other.load(), 0);
  EXPECT_NE(server.Log().find("refused: 3 password checks already waiting"), std::string::npos);
  EXPECT_EQ(server.Interrupt(), 0) << server.Log();
}

// Refused starts: each exits with status 2 and says why on standard error,
// before it listens or creates the upload directory.
TEST(AccessStartTest, RefusesBadUsersAndUnprotectedBinds) {
  TempDir root;
  ASSERT_TRUE(MakeCertificate(root.path()));
  const std::string users = MakeUsers(root.path() / "users");
  const std::string good_users = (root.path() / "users").string();
  WriteFileBytes(root.path() / "apr1", users + "# Apache's own MD5\ncy:$apr1$Vu2w1T8x$2vOYYx0Cq4b0y2JhHyAbK/\n");
  WriteFileBytes(root.path() / "plain", "dee:secret\n");
  WriteFileBytes(root.path() / "sha1", "\n\neve:{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=\n");
  const std::string cert = (root.path() / "cert.pem").string(), key = (root.path() / "key.pem").string();
  const std::string apr1 = (root.path() / "apr1").string();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--htpasswd", apr1}, apr1 + ":6: user \"cy\" has an Apache MD5 ($apr1$) hash"},
      {{"--htpasswd", (root.path() / "plain").string()}, "plain:1: user \"dee\""},
      {{"--htpasswd", (root.path() / "sha1").string()}, "sha1:3: user \"eve\" has an unsalted SHA-1"},
      {{"--htpasswd", (root.path() / "none").string()}, "none: cannot be read"},
      {{"--host", "0.0.0.0", "--public-url", "http://files.example.org/"},
       "refusing to listen on 0.0.0.0 without authentication"},
      {{"--host", "::", "--public-url", "http://files.example.org/"}, "Give --htpasswd FILE"},
      {{"--host", "0.0.0.0", "--public-url", "http://files.example.org/", "--no-auth", "--htpasswd", good_users},
       "contradict"},
      {{"--tls-cert", cert}, "--tls-cert needs --tls-key"},
      {{"--tls-cert", cert, "--tls-key", cert}, "--tls-key " + cert},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {ZmfilePath(), "serve", "--port", "0", "--dir", (root.path() / "up").string()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProcessResult run = RunProcess(argv, "", 30);
    const std::string label = c.args[0] + " " + c.args[1];
    EXPECT_EQ(run.exit_status, 2) << label << "\n" << run.out << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << label << "\n" << run.err;
    if (c.args[0] == "--htpasswd") {
      EXPECT_NE(run.err.find("htpasswd -B"), std::string::npos) << label << "\n" << run.err;
    }
    EXPECT_EQ(run.out.find("open http"), std::string::npos) << label;
    EXPECT_FALSE(fs::exists(root.path() / "up")) << label << ": the start went on past the refusal";
  }
}

// A blocking TLS client on a loopback connection, trusting `ca_file`; for
// what curl cannot do: stay silent after the handshake, or hold connections.
class TlsClient {
 public:
  TlsClient(int port, const fs::path& ca_file) : context_(SSL_CTX_new(TLS_client_method())) {
    SSL_CTX_load_verify_locations(context_, ca_file.c_str(), nullptr);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    fd_ = ConnectFrom("127.0.0.1", port, 10);
    if (fd_ < 0) return;
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd_);
    SSL_set1_host(ssl_, "127.0.0.1");
    connected_ = SSL_connect(ssl_) == 1;
  }
  ~TlsClient() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
    SSL_CTX_free(context_);
  }
  bool connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return connected_ &&
           SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  }
  // Everything until the server closes (or the 10 s socket timeout).
  std::string ReadToEnd() {
    std::string out;
    char buffer[4096];
    for (;;) {
      const int n = connected_ ? SSL_read(ssl_, buffer, sizeof buffer) : 0;
      if (n <= 0) return out;
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  SSL_CTX* context_;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
  bool connected_ = false;
};

class TlsServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeCertificate(root_.path()));
    MakeUsers(root_.path() / "users");
  }

  void Start(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--tls-cert",       (root_.path() / "cert.pem").string(),
                                     "--tls-key",        (root_.path() / "key.pem").string(),
                                     "--header-timeout", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ServerProcess>(root_.path() / "uploads", args, root_.path() / "server.log");
    ASSERT_TRUE(server_->ok()) << server_->Log();
    ASSERT_NE(server_->Log().find("open https://127.0.0.1:"), std::string::npos) << server_->Log();
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Interrupt(), 0) << server_->Log();
    }
  }

  std::string Https(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(server_->port()) + path;
  }
  // curl over HTTPS trusting only the test's certificate.
  CommandResult Curl(std::vector<std::string> args) {
    std::vector<std::string> all = {"curl", "-sS",      "--max-time",
                                    "30",   "--cacert", (root_.path() / "cert.pem").string()};
    all.insert(all.end(), args.begin(), args.end());
    return RunCommand(all);
  }

  TempDir root_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(TlsServeTest, UploadsAndDownloadsOverHttpsByteForByte) {
  Start({});
  const std::string bytes = RandomBytes(3 << 20, 11);
  WriteFileBytes(root_.path() / "picked.bin", bytes);
  const CommandResult upload =
      Curl({"-i", "-H", "Accept: application/json", "-F",
            "upload1=@" + (root_.path() / "picked.bin").string() + ";filename=big.bin", Https("/upload")});
  ASSERT_EQ(upload.exit_status, 0);
  const HttpAnswer answer = ParseHttpAnswer(upload.out);
  EXPECT_EQ(answer.status, 200) << answer.head << answer.body;
  EXPECT_TRUE(ReadFileBytes(root_.path() / "uploads" / "big.bin") == bytes) << "stored bytes differ";
  const CommandResult download = Curl({"--fail", "-o", (root_.path() / "back.bin").string(), Https("/files/big.bin")});
  EXPECT_EQ(download.exit_status, 0);
  EXPECT_TRUE(ReadFileBytes(root_.path() / "back.bin") == bytes) << "downloaded bytes differ";
  // Older protocols are refused.
  EXPECT_NE(Curl({"--tls-max", "1.1", "-o", "/dev/null", Https("/config")}).exit_status, 0);
}

TEST_F(TlsServeTest, CredentialsWorkOverHttps) {
  Start({"--htpasswd", (root_.path() / "users").string()});
  const CommandResult refused = Curl({"-o", "/dev/null", "-w", "%{http_code}", Https("/config")});
  EXPECT_EQ(refused.out, "401");
  const CommandResult allowed =
      Curl({"-o", "/dev/null", "-w", "%{http_code}", "-u", std::string("ann:") + kAnnPassword, Https("/config")});
  EXPECT_EQ(allowed.out, "200");
  EXPECT_NE(server_->Log().find("GET /config 200 in=0 out=101 "), std::string::npos) << server_->Log();
  EXPECT_NE(server_->Log().find(" user=\"ann\""), std::string::npos) << server_->Log();
}

TEST_F(TlsServeTest, PlainHttpToTheHttpsPortIsAnsweredInPlainTextAndLogged) {
  Start({});
  const auto start = Clock::now();
  const std::string raw =
      RawExchange(server_->port(), "GET /config HTTP/1.1\r\n" + HostLine(server_->port()) + "\r\n", 10);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
  EXPECT_EQ(raw.find("maxBody"), std::string::npos) << raw;
  const HttpAnswer answer = ParseHttpAnswer(raw);
  EXPECT_EQ(answer.status, 400) << raw;
  EXPECT_EQ(answer.Header("Connection"), "close");
  EXPECT_NE(answer.body.find("https://127.0.0.1:" + std::to_string(server_->port()) + "/"), std::string::npos) << raw;
  // curl, told http://, shows the sentence rather than "Empty reply from server".
  const CommandResult curl = RunCommand({"curl", "-sS", "--max-time", "10", "http://127.0.0.1:" +
                                                                               std::to_string(server_->port()) + "/"});
  EXPECT_NE(curl.out.find("https://"), std::string::npos) << curl.out;
  EXPECT_NE(server_->Log().find("TLS handshake failed"), std::string::npos) << server_->Log();
  EXPECT_NE(server_->Log().find("plain HTTP sent to the HTTPS port"), std::string::npos) << server_->Log();
  // The server goes on serving HTTPS.
  EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", Https("/config")}).out, "200");
}

// A client that opens TCP and never starts TLS is closed at the header
// timeout (2 s here), as one that never sends a request would be.
TEST_F(TlsServeTest, AHandshakeThatNeverComesIsClosedAtTheHeaderTimeout) {
  Start({});
  const int fd = ConnectFrom("127.0.0.1", server_->port(), 10);
  ASSERT_GE(fd, 0);
  const auto start = Clock::now();
  char byte = 0;
  const ssize_t n = ::recv(fd, &byte, 1, 0);  // blocks until the server closes (or the 10 s timeout)
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  EXPECT_LE(n, 0);
  EXPECT_GT(seconds, 1.5);
  EXPECT_LT(seconds, 4.0);
  EXPECT_NE(server_->Log().find("no TLS handshake within 2 s of the connection"), std::string::npos) << server_->Log();
}

// The limits hold over TLS: a client that completes the handshake and then
// sends nothing gets 408 at the header timeout, one that sends half its
// headers too, and a connection past --max-per-address is closed before
// its handshake (which is what a flood from one address must not cost).
TEST_F(TlsServeTest, TheConnectionLimitsHoldOverTls) {
  Start({"--max-per-address", "2"});
  const fs::path ca = root_.path() / "cert.pem";
  TlsClient silent(server_->port(), ca);
  TlsClient halfway(server_->port(), ca);
  ASSERT_TRUE(silent.connected());
  ASSERT_TRUE(halfway.connected());
  ASSERT_TRUE(halfway.Send("GET /config HTTP/1.1\r\n" + HostLine(server_->port())));
  // The server closes the third before its handshake: the client's
  // handshake then writes to a closed socket.
  ::signal(SIGPIPE, SIG_IGN);
  TlsClient third(server_->port(), ca);
  EXPECT_FALSE(third.connected());

  const auto start = Clock::now();
  const std::string silent_answer = silent.ReadToEnd();
  const std::string halfway_answer = halfway.ReadToEnd();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_TRUE(silent_answer.starts_with("HTTP/1.1 408 ")) << silent_answer;
  EXPECT_TRUE(halfway_answer.starts_with("HTTP/1.1 408 ")) << halfway_answer;
  // 2 s header timeout from the connection, then at most the 2 s linger.
  EXPECT_LT(seconds, 6.0);
  // Free again: a full request is served.
  TlsClient later(server_->port(), ca);
  ASSERT_TRUE(later.Send("GET /config HTTP/1.1\r\n" + HostLine(server_->port()) + "Connection: close\r\n\r\n"));
  EXPECT_NE(later.ReadToEnd().find("\"maxBody\""), std::string::npos);
}

}  // namespace
}  // namespace zimrax::testing
