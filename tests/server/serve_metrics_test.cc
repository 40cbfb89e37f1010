// GET /metrics against the requests that made the counts: a table of
// requests, each with the status it must get and what it must count, is
// sent between two scrapes, and every counter's change must be what the
// table adds up to: no more, no less.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server_process.h"

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAnn = "Authorization: Basic YW5uOmFubi1wdw==\r\n";      // ann:ann-pw
constexpr const char* kWrong = "Authorization: Basic YW5uOndyb25n\r\n";        // ann:wrong

using Counts = std::map<std::string, double>;

// "name{labels} value" lines of a Prometheus text answer.
Counts ParseMetrics(const std::string& text) {
  Counts counts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    counts[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return counts;
}

Counts Scrape(int port) {
  const HttpAnswer answer = ParseHttpAnswer(RawExchange(
      port, "GET /metrics HTTP/1.1\r\n" + HostLine(port) + kAnn + "Connection: close\r\n\r\n", 10));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  return ParseMetrics(answer.body);
}

std::string Get(int port, const std::string& path, const std::string& extra) {
  return "GET " + path + " HTTP/1.1\r\n" + HostLine(port) + extra + "Connection: close\r\n\r\n";
}

std::string Upload(int port, const std::vector<FormPart>& parts, const std::string& extra) {
  const std::string body = MultipartBody("B", parts);
  return "POST /upload HTTP/1.1\r\n" + HostLine(port) + extra +
         "Accept: application/json\r\nConnection: close\r\nContent-Type: multipart/form-data; boundary=B\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Step {
  const char* name;
  std::function<std::string(int port)> request;
  int status;
  const char* refused_for;  // the refusal's reason label, "" for none
  bool upload;              // POST /upload
  int stored_files;
  int stored_bytes;
  bool durable_finish;      // an upload's Finish that syncs
};

TEST(MetricsTest, CountsMatchTheRequestsSent) {
  TempDir root;
  const CommandResult user = RunCommand({"htpasswd", "-nbB", "-C", "4", "ann", "ann-pw"});
  ASSERT_EQ(user.exit_status, 0);
  WriteFileBytes(root.path() / "users", user.out.substr(0, user.out.find('\n') + 1));
  const fs::path uploads = root.path() / "uploads";
  fs::create_directories(uploads);
  WriteFileBytes(uploads / "known.txt", "known\n");
  ServerProcess server(uploads,
                       {"--metrics", "--htpasswd", (root.path() / "users").string(), "--max-body", "4096",
                        "--max-per-address", "3"},
                       root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const int port = server.port();

  const Step steps[] = {
      {"config", [](int p) { return Get(p, "/config", kAnn); }, 200, "", false, 0, 0, false},
      {"download", [](int p) { return Get(p, "/files/known.txt", kAnn); }, 200, "", false, 0, 0, false},
      {"no credentials", [](int p) { return Get(p, "/config", ""); }, 401, "auth", false, 0, 0, false},
      {"wrong password", [](int p) { return Get(p, "/config", kWrong); }, 401, "auth", false, 0, 0, false},
      {"metrics without credentials", [](int p) { return Get(p, "/metrics", ""); }, 401, "auth", false, 0, 0, false},
      {"metrics under a foreign Host",
       [](int) { return "GET /metrics HTTP/1.1\r\nHost: evil.example\r\n" + std::string(kAnn) + "Connection: close\r\n\r\n"; },
       421, "origin", false, 0, 0, false},
      {"upload from a foreign site",
       [](int p) { return Upload(p, {{"upload1", "abc", true, "evil.txt"}}, std::string(kAnn) +
                                 "Origin: http://evil.example\r\n"); },
       403, "origin", true, 0, 0, false},
      {"one file", [](int p) { return Upload(p, {{"upload1", "hello", true, "one.txt"}}, kAnn); }, 200, "", true, 1, 5,
       true},
      {"two files",
       [](int p) {
         return Upload(p, {{"upload1", "abc", true, "a.txt"}, {"upload2", "defghij", true, "b.txt"}}, kAnn);
       },
       200, "", true, 2, 10, true},
      {"past --max-body",
       [](int p) { return Upload(p, {{"upload1", std::string(5000, 'x'), true, "big.txt"}}, kAnn); }, 413, "rules",
       true, 0, 0, false},
      {"unknown expectation",
       [](int p) { return Upload(p, {{"upload1", "abc", true, "exp.txt"}}, std::string(kAnn) + "Expect: 200-ok\r\n"); },
       417, "request", true, 0, 0, false},
      {"missing file", [](int p) { return Get(p, "/files/missing.txt", kAnn); }, 404, "", false, 0, 0, false},
      {"malformed", [](int) { return std::string("GARBAGE\r\n\r\n"); }, 400, "request", false, 0, 0, false},
  };

  const Counts before = Scrape(port);
  Counts expected;  // each counter's change
  for (const Step& step : steps) {
    const HttpAnswer answer = ParseHttpAnswer(RawExchange(port, step.request(port), 10));
    EXPECT_EQ(answer.status, step.status) << step.name;
    const std::string status = "{status=\"" + std::to_string(step.status) + "\"}";
    expected["zmfile_requests_total" + status] += 1;
    if (step.upload) expected["zmfile_uploads_total" + status] += 1;
    if (*step.refused_for != '\0') expected["zmfile_refusals_total{reason=\"" + std::string(step.refused_for) + "\"}"] += 1;
    expected["zmfile_stored_files_total"] += step.stored_files;
    expected["zmfile_stored_bytes_total"] += step.stored_bytes;
    expected["zmfile_fsync_seconds_count"] += step.durable_finish;
  }
  // Connections past --max-per-address are refused at accept, before any
  // request: a budget refusal and no request.
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) held.push_back(ConnectFrom("127.0.0.9", port, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int over = ConnectFrom("127.0.0.9", port, 5);
  char byte;
  const std::string refused = over >= 0 && ::recv(over, &byte, 1, 0) == 1 ? std::string(1, byte) : "";
  EXPECT_EQ(refused, "H") << "the connection over --max-per-address gets its 503";
  expected["zmfile_refusals_total{reason=\"budgets\"}"] += 1;
  for (const int fd : held) ::close(fd);
  if (over >= 0) ::close(over);
  // The first scrape is counted by the second.
  expected["zmfile_requests_total{status=\"200\"}"] += 1;

  const Counts after = Scrape(port);
  Counts all = before;
  all.insert(after.begin(), after.end());
  for (const auto& [name, value] : all) {
    if (name == "zmfile_fsync_seconds_sum") continue;
    const double change = (after.count(name) ? after.at(name) : 0) - (before.count(name) ? before.at(name) : 0);
    EXPECT_EQ(change, expected.count(name) ? expected.at(name) : 0) << name;
  }
  for (const auto& [name, value] : expected) EXPECT_TRUE(after.count(name)) << name << " missing";
  EXPECT_GT(after.at("zmfile_fsync_seconds_sum"), before.at("zmfile_fsync_seconds_sum"));
  EXPECT_EQ(after.at("zmfile_uploads_in_flight"), 0);
  EXPECT_EQ(server.Interrupt(), 0);
}

// An upload whose body is still coming is in flight; abandoned, it is not.
TEST(MetricsTest, UploadsInFlightRiseAndFall) {
  TempDir root;
  ServerProcess server(root.path() / "uploads", {"--metrics"}, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const int port = server.port();
  const auto in_flight = [port] {
    const HttpAnswer answer = ParseHttpAnswer(RawExchange(port, Get(port, "/metrics", ""), 10));
    return ParseMetrics(answer.body)["zmfile_uploads_in_flight"];
  };
  const auto wait_for = [&](double value) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    double seen = in_flight();
    while (seen != value && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      seen = in_flight();
    }
    return seen;
  };
  EXPECT_EQ(in_flight(), 0);
  const int fd = ConnectFrom("127.0.0.1", port, 5);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "POST /upload HTTP/1.1\r\n" + HostLine(port) +
                              "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 100000\r\n\r\n"
                              "--B\r\nContent-Disposition: form-data; name=\"upload1\"; filename=\"a.txt\"\r\n\r\nxyz"));
  EXPECT_EQ(wait_for(1), 1);
  ::close(fd);
  EXPECT_EQ(wait_for(0), 0);
  EXPECT_EQ(server.Interrupt(), 0);
}

// Without --metrics, /metrics names nothing.
TEST(MetricsTest, OffByDefault) {
  TempDir root;
  ServerProcess server(root.path() / "uploads", {}, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  EXPECT_EQ(ParseHttpAnswer(RawExchange(server.port(), Get(server.port(), "/metrics", ""), 10)).status, 404);
  EXPECT_EQ(server.Interrupt(), 0);
}

}  // namespace
}  // namespace zimrax::testing
