// zmfile serve under attack: slow and idle connections, huge headers,
// broken bodies, too many connections, and a stop while uploads are in
// flight. Attackers connect from 127.0.0.2 and up, so that the limit per
// client address does not touch the normal client on 127.0.0.1. Every loop
// is bounded and every test stops by itself.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "server_process.h"

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kBoundary = "limitsBoundary4f9XkQ2";

FormPart FilePart(const std::string& filename, const std::string& data) { return {"upload1", data, true, filename}; }

// "127.0.0.N" for the n-th attacker address (0 is 127.0.0.2).
std::string AttackerAddress(int n) { return "127.0.0." + std::to_string(2 + n); }

std::string UploadHead(std::size_t length, bool close) {
  return "POST /upload HTTP/1.1\r\nHost: x\r\nAccept: application/json\r\nContent-Type: multipart/form-data; boundary=" +
         std::string(kBoundary) + "\r\nContent-Length: " + std::to_string(length) + "\r\n" +
         (close ? "Connection: close\r\n" : "") + "\r\n";
}

// Every entry of `dir`, hidden ones (the component's temporaries) included.
std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  return names;
}

// Waits (at most `seconds`) until the server's log holds `text`.
bool LogShows(const ServerProcess& server, const std::string& text, double seconds = 5) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (server.Log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The test itself holds over a thousand sockets.
void RaiseOwnDescriptorLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

class LimitsTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& args) {
    uploads_ = root_.path() / "uploads";
    // The requests here name the server "x" (Host: x), the public name
    // they reach it by.
    std::vector<std::string> all_args = args;
    all_args.insert(all_args.end(), {"--public-url", "http://x/"});
    server_ = std::make_unique<ServerProcess>(uploads_, all_args, root_.path() / "server.log");
    ASSERT_TRUE(server_->ok()) << server_->Log();
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Interrupt(), 0) << server_->Log();
    }
  }

  // A normal upload from 127.0.0.1 on its own connection; the answer.
  HttpAnswer Upload(const std::string& name, const std::string& data) {
    const std::string body = MultipartBody(kBoundary, {FilePart(name, data)});
    const int fd = ConnectFrom("127.0.0.1", server_->port(), 10);
    if (fd < 0) return {};
    SendAll(fd, UploadHead(body.size(), true) + body);
    const HttpAnswer answer = ReadAnswer(fd);
    ::close(fd);
    return answer;
  }

  TempDir root_;
  fs::path uploads_;
  std::unique_ptr<ServerProcess> server_;
};

// 256 connections sending their headers a byte every 5 s hold no thread:
// a 1 MiB upload beside them is served at once; and each is answered 408
// when its header time runs out.
TEST_F(LimitsTest, TricklingConnectionsDoNotSlowAnUpload) {
  RaiseOwnDescriptorLimit();
  Start({"--header-timeout", "10"});
  constexpr int kTricklers = 256;
  std::vector<int> tricklers;
  for (int i = 0; i < kTricklers; ++i) {
    const int fd = ConnectFrom(AttackerAddress(i / 16), server_->port(), 20);
    ASSERT_GE(fd, 0) << i;
    tricklers.push_back(fd);
  }
  const std::string slow_request = "GET / HTTP/1.1\r\n";
  const auto start = Clock::now();
  std::size_t sent = 0;
  // Three rounds, 5 s apart: at most 15 s.
  for (int round = 0; round < 3 && SecondsSince(start) < 15; ++round) {
    for (const int fd : tricklers) {
      // A client stops sending once it has its answer.
      char peek;
      if (::recv(fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) > 0) continue;
      ::send(fd, &slow_request[sent], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ++sent;
    if (round == 0) {
      const std::string data = RandomBytes(1 << 20, 11);
      const auto upload_start = Clock::now();
      const HttpAnswer answer = Upload("beside-tricklers.bin", data);
      const double took = SecondsSince(upload_start);
      EXPECT_EQ(answer.status, 200) << answer.body;
      EXPECT_LT(took, 2.0) << "a 1 MiB upload took " << took << " s beside " << kTricklers << " slow connections";
      EXPECT_TRUE(ReadFileBytes(uploads_ / "beside-tricklers.bin") == data);
    }
    std::this_thread::sleep_for(std::chrono::seconds(5) - (Clock::now() - start) % std::chrono::seconds(5));
  }
  // The header time (10 s) is over for all of them by now: each got 408.
  int answered_408 = 0;
  std::string others;
  for (const int fd : tricklers) {
    char buffer[256] = {};
    const ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, MSG_DONTWAIT);
    if (n > 0 && std::string(buffer).rfind("HTTP/1.1 408", 0) == 0) {
      ++answered_408;
    } else {
      others += "recv " + std::to_string(n) + " errno " + std::to_string(n < 0 ? errno : 0) + ": " +
                std::string(buffer, n > 0 ? static_cast<std::size_t>(std::min<ssize_t>(n, 40)) : 0) + "\n";
    }
    ::close(fd);
  }
  EXPECT_EQ(answered_408, kTricklers) << others << server_->Log().substr(0, 4000);
  EXPECT_NE(server_->Log().find("request headers not complete within 10 s"), std::string::npos);
}

// What 1,000 idle connections may add to the server's resident set: a few
// KiB each (2.4 MiB measured in release builds). AddressSanitizer's
// redzones and shadow memory multiply every allocation, so its builds get
// twice the room; a read buffer held per idle connection would still show
// as tens of MiB in both.
#if defined(__SANITIZE_ADDRESS__)  // g++
constexpr long kIdleConnectionsRssBudgetKiB = 16 * 1024;
#elif defined(__has_feature)  // clang
#if __has_feature(address_sanitizer)
constexpr long kIdleConnectionsRssBudgetKiB = 16 * 1024;
#else
constexpr long kIdleConnectionsRssBudgetKiB = 8 * 1024;
#endif
#else
constexpr long kIdleConnectionsRssBudgetKiB = 8 * 1024;
#endif

// 1,000 connections that send nothing cost memory, not threads: a request
// beside them is answered within a second, and the server's thread count
// stays that of its fixed pool.
TEST_F(LimitsTest, IdleConnectionsDoNotDelayARequest) {
  RaiseOwnDescriptorLimit();
  Start({"--max-connections", "1100", "--header-timeout", "30"});
  const long threads_before = ProcessStatusField(server_->pid(), "Threads");
  const long rss_before = ProcessStatusField(server_->pid(), "VmRSS");
  constexpr int kIdle = 1000;
  std::vector<int> idle;
  for (int i = 0; i < kIdle; ++i) {
    const int fd = ConnectFrom(AttackerAddress(i / 16), server_->port(), 10);
    ASSERT_GE(fd, 0) << i;
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the server take them all
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto start = Clock::now();
    const HttpAnswer page = ParseHttpAnswer(
        RawExchange(server_->port(), "GET /config HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 10));
    EXPECT_EQ(page.status, 200);
    const auto upload_start = Clock::now();
    EXPECT_EQ(Upload("beside-idle-" + std::to_string(attempt) + ".txt", "data").status, 200);
    EXPECT_LT(SecondsSince(start), 1.0) << "the GET took " << std::chrono::duration<double>(upload_start - start).count()
                                        << " s beside " << kIdle << " idle connections";
  }
  EXPECT_EQ(ProcessStatusField(server_->pid(), "Threads"), threads_before) << "a connection must not cost a thread";
  // A connection that has sent nothing holds its socket and a few hundred
  // bytes of state, no read buffer.
  const long rss_growth = ProcessStatusField(server_->pid(), "VmRSS") - rss_before;
  EXPECT_LE(rss_growth, kIdleConnectionsRssBudgetKiB) << "VmRSS grew by " << rss_growth << " KiB for " << kIdle << " idle connections";
  std::cout << "VmRSS growth for " << kIdle << " idle connections: " << rss_growth << " KiB\n";
  for (const int fd : idle) ::close(fd);
}

// Past --max-connections no connection is accepted: a new one waits in the
// kernel's backlog, unanswered, until an open one ends.
TEST_F(LimitsTest, PastMaxConnectionsNewOnesWaitInTheBacklog) {
  Start({"--max-connections", "4", "--header-timeout", "30"});
  std::vector<int> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(ConnectFrom(AttackerAddress(0), server_->port(), 10));
    ASSERT_GE(held.back(), 0);
  }
  ASSERT_TRUE(LogShows(*server_, "at 4 connections: new ones wait until one ends"));
  const int waiting = ConnectFrom("127.0.0.1", server_->port(), 10);
  ASSERT_GE(waiting, 0) << "the kernel completes the connection";
  ASSERT_TRUE(SendAll(waiting, "GET /config HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  struct pollfd ready {waiting, POLLIN, 0};
  EXPECT_EQ(::poll(&ready, 1, 1000), 0) << "answered past the connection limit";
  ::close(held.back());
  held.pop_back();
  const auto start = Clock::now();
  EXPECT_EQ(ReadAnswer(waiting).status, 200);
  EXPECT_LT(SecondsSince(start), 2.0);
  ::close(waiting);
  for (const int fd : held) ::close(fd);
}

// The soft descriptor limit is raised to the hard one at start-up.
TEST_F(LimitsTest, DescriptorLimitIsRaisedToTheHardLimit) {
  // The server inherits a soft limit below the hard one.
  struct rlimit own {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
  struct rlimit lowered = own;
  lowered.rlim_cur = std::min<rlim_t>(256, own.rlim_max - 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  Start({});
  ::setrlimit(RLIMIT_NOFILE, &own);
  std::ifstream limits("/proc/" + std::to_string(server_->pid()) + "/limits");
  std::string line;
  bool found = false;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft, hard) << line;
    found = true;
  }
  EXPECT_TRUE(found);
}

// 300 MB of header lines, sent until the server answers or closes: 431,
// and the server's memory does not follow the headers.
TEST_F(LimitsTest, EndlessHeadersAre431WithBoundedMemory) {
  Start({});
  const long rss_before = ProcessStatusField(server_->pid(), "VmRSS");
  const int fd = ConnectFrom(AttackerAddress(0), server_->port(), 10);
  ASSERT_GE(fd, 0);
  std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
  ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\nHost: x\r\n"));
  std::string piece;
  while (piece.size() < 64 * 1024) piece += line;
  std::size_t offset = 0;
  constexpr std::uint64_t kMaxSent = 300'000'000;
  std::uint64_t sent = 0;
  std::string answer;
  const auto start = Clock::now();
  while (sent < kMaxSent && SecondsSince(start) < 60) {
    struct pollfd ready {fd, POLLIN | POLLOUT, 0};
    if (::poll(&ready, 1, 1000) <= 0) continue;
    if (ready.revents & POLLIN) break;  // the server answered
    if (ready.revents & (POLLERR | POLLHUP)) break;
    const ssize_t n = ::send(fd, piece.data() + offset, piece.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN) break;  // the server closed
    if (n > 0) {
      sent += static_cast<std::uint64_t>(n);
      offset = (offset + static_cast<std::size_t>(n)) % piece.size();
    }
  }
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_EQ(ParseHttpAnswer(answer).status, 431) << "after " << sent << " bytes: " << answer.substr(0, 200);
  EXPECT_LT(sent, kMaxSent) << "the server never answered";
  const long rss_after = ProcessStatusField(server_->pid(), "VmRSS");
  EXPECT_LE(rss_after - rss_before, 16 * 1024) << "VmRSS grew from " << rss_before << " to " << rss_after << " KiB";
  EXPECT_TRUE(LogShows(*server_, "request headers longer than 16384 bytes"));
  // The server goes on serving.
  EXPECT_EQ(Upload("after-headers.txt", "x").status, 200);
}

// A body cut short, one longer than its Content-Length, and a connection
// reset in the middle of the body: nothing is stored and nothing is left,
// hidden temporaries included.
TEST_F(LimitsTest, BrokenBodiesLeaveNothing) {
  Start({});
  const std::string data = RandomBytes(3 << 20, 21);
  const std::string body = MultipartBody(kBoundary, {FilePart("broken.bin", data)});
  struct Case {
    std::string label;
    std::string sent;        // what the client sends before it ends
    bool reset;              // end with a reset rather than a close
    int status;              // the answer expected before the end, 0: none
    std::string log_text;    // what the server logs about it
  };
  const std::vector<Case> cases = {
      {"shorter than its length, then closed", UploadHead(body.size(), false) + body.substr(0, body.size() / 2), false,
       0, "upload ended after"},
      {"longer than its length", UploadHead(body.size() - 40, false) + body, false, 400,
       "POST /upload 400"},
      {"reset in the middle", UploadHead(body.size(), false) + body.substr(0, body.size() - 1000), true, 0,
       "upload ended after"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::size_t log_before = server_->Log().size();
    const int fd = ConnectFrom(AttackerAddress(0), server_->port(), 10);
    ASSERT_GE(fd, 0);
    SendAll(fd, c.sent);
    if (c.status != 0) {
      const HttpAnswer answer = ReadAnswer(fd);
      EXPECT_EQ(answer.status, c.status) << answer.body;
      EXPECT_FALSE(Json::parse(answer.body, nullptr, false)["Refused"].is_null()) << answer.body;
    }
    if (c.reset) {
      struct linger abortive {1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else {
      ::shutdown(fd, SHUT_WR);
    }
    ::close(fd);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline && server_->Log().find(c.log_text, log_before) == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(server_->Log().find(c.log_text, log_before), std::string::npos) << server_->Log();
    EXPECT_TRUE(Entries(uploads_).empty()) << Entries(uploads_).front();
  }
}

// SIGTERM while 4 uploads are in flight: the 2 whose clients finish within
// the drain time are stored whole; the 2 stalled ones are aborted and leave
// nothing; the server exits 0 within the drain time.
TEST_F(LimitsTest, SigtermDrainsUploadsThenAbortsTheRest) {
  Start({"--drain-seconds", "3"});
  struct Upload {
    std::string name;
    std::string body;
    std::string data;
    int fd = -1;
  };
  std::vector<Upload> uploads(4);
  for (int i = 0; i < 4; ++i) {
    Upload& u = uploads[i];
    u.name = "inflight-" + std::to_string(i) + ".bin";
    u.data = RandomBytes(4 << 20, 30 + i);
    u.body = MultipartBody(kBoundary, {FilePart(u.name, u.data)});
    u.fd = ConnectFrom("127.0.0.1", server_->port(), 10);
    ASSERT_GE(u.fd, 0);
    ASSERT_TRUE(SendAll(u.fd, UploadHead(u.body.size(), false) + u.body.substr(0, u.body.size() / 2)));
  }
  ASSERT_TRUE(LogShows(*server_, "zmfile serve: open"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the halves have arrived
  const auto stop_start = Clock::now();
  ::kill(server_->pid(), SIGTERM);
  ASSERT_TRUE(LogShows(*server_, "stopping on signal"));
  for (int i = 0; i < 2; ++i) {
    Upload& u = uploads[i];
    ASSERT_TRUE(SendAll(u.fd, u.body.substr(u.body.size() / 2)));
    const HttpAnswer answer = ReadAnswer(u.fd);
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.Header("Connection"), "close") << "no keep-alive while stopping";
  }
  const int status = server_->StopWith(0, 6);  // signal 0: only waits for the exit
  const double took = SecondsSince(stop_start);
  EXPECT_EQ(status, 0) << server_->Log();
  EXPECT_LT(took, 3.0 + 1.5) << "the server took " << took << " s to stop with --drain-seconds 3";
  for (Upload& u : uploads) ::close(u.fd);
  std::vector<std::string> left = Entries(uploads_);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"inflight-0.bin", "inflight-1.bin"}));
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(ReadFileBytes(uploads_ / uploads[i].name) == uploads[i].data);
  EXPECT_NE(server_->Log().find("drain time over"), std::string::npos) << server_->Log();
}

// The smaller limits, each with a short setting: what the client sees and
// what the server logs.
TEST_F(LimitsTest, EachLimitAnswersWithItsStatusAndALogLine) {
  Start({"--max-per-address", "2", "--idle-timeout", "1", "--header-timeout", "2", "--min-body-rate", "100000",
         "--rate-window", "1", "--max-first-line", "100", "--max-body", "1000000"});
  // Per address: the third connection from 127.0.0.2 gets 503; 127.0.0.1 is served.
  const int first = ConnectFrom(AttackerAddress(0), server_->port(), 5);
  const int second = ConnectFrom(AttackerAddress(0), server_->port(), 5);
  const int third = ConnectFrom(AttackerAddress(0), server_->port(), 5);
  ASSERT_GE(third, 0);
  EXPECT_EQ(ReadAnswer(third).status, 503);
  EXPECT_EQ(Upload("per-address.txt", "x").status, 200);
  for (const int fd : {first, second, third}) ::close(fd);
  EXPECT_TRUE(LogShows(*server_, "connections from this address"));

  struct Case {
    std::string label;
    std::string request;
    int status;
    std::string log_text;
  };
  const std::string long_boundary(150, 'b');
  const std::string long_line_body = "--" + long_boundary + "\r\nContent-Disposition: form-data; name=\"upload1\"; "
                                     "filename=\"f.txt\"\r\n\r\nx\r\n--" + long_boundary + "--\r\n";
  const std::vector<Case> cases = {
      {"headers too slow", "GET / HTTP/1.1\r\n", 408, "not complete within 2 s"},
      {"first line over its cap",
       "POST /upload HTTP/1.1\r\nHost: x\r\nAccept: application/json\r\nContent-Type: multipart/form-data; boundary=" +
           long_boundary + "\r\nContent-Length: " + std::to_string(long_line_body.size()) + "\r\n\r\n" + long_line_body,
       400, "POST /upload 400"},
      {"body over the limit", UploadHead(2000000, false), 413, "upload refused with 413"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const int fd = ConnectFrom(AttackerAddress(1), server_->port(), 10);
    ASSERT_GE(fd, 0);
    SendAll(fd, c.request);
    const HttpAnswer answer = ReadAnswer(fd);
    EXPECT_EQ(answer.status, c.status) << answer.head << answer.body;
    ::close(fd);
    EXPECT_TRUE(LogShows(*server_, c.log_text)) << server_->Log();
  }

  // A kept-alive connection that sends nothing more is closed after the idle time.
  const int idle = ConnectFrom("127.0.0.1", server_->port(), 5);
  SendAll(idle, "GET /config HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(ReadAnswer(idle).status, 200);
  const auto idle_start = Clock::now();
  char byte;
  EXPECT_EQ(::recv(idle, &byte, 1, 0), 0);
  EXPECT_LT(SecondsSince(idle_start), 3.0);
  ::close(idle);

  // A body slower than the minimum rate: closed, nothing stored.
  const std::string body = MultipartBody(kBoundary, {FilePart("slow.bin", std::string(5000, 's'))});
  const int slow = ConnectFrom(AttackerAddress(2), server_->port(), 10);
  SendAll(slow, UploadHead(body.size(), false) + body.substr(0, 100));
  const auto slow_start = Clock::now();
  EXPECT_LE(::recv(slow, &byte, 1, 0), 0);
  EXPECT_LT(SecondsSince(slow_start), 4.0);
  ::close(slow);
  EXPECT_TRUE(LogShows(*server_, "bytes/s; nothing stored"));
  EXPECT_FALSE(fs::exists(uploads_ / "slow.bin"));
}

}  // namespace
}  // namespace zimrax::testing
