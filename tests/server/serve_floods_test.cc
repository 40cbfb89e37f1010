// zmfile serve under floods that aim at what every client shares: its
// descriptors and its connection slots. Attackers connect from 127.0.0.2
// and up; the client that must still be served is 127.0.0.1 (or .3).
// Each timing bound is the figure stated plus an allowance for the
// machine's load, measured in the same run (LoadAwareBound), and loosened
// under the sanitizers (kAttackTimeScale).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "attack_clients.h"
#include "server_process.h"

namespace zimrax::testing {
namespace {

// The last `count` lines of a log, for a failure message.
std::string LastLines(const std::string& log, std::size_t count) {
  std::size_t at = log.size();
  while (count-- > 0 && at > 0) at = log.rfind('\n', at - 1);
  return at == std::string::npos ? log : log.substr(at);
}

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kBoundary = "B";

std::string FilePartBytes(const std::string& field, const std::string& filename, const std::string& data) {
  return "--B\r\nContent-Disposition: form-data; name=\"" + field + "\"; filename=\"" + filename + "\"\r\n\r\n" +
         data + "\r\n";
}

// The descriptors process `pid` holds.
long OpenDescriptors(pid_t pid) {
  std::error_code error;
  long count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

// `bytes` as one chunk of a chunked body.
std::string Chunk(const std::string& bytes) {
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  return size + bytes + "\r\n";
}

// One upload of `files` one-byte file parts that then trickles its comment,
// as an attacker holding a temporary file per part would. Chunked, each
// part is a chunk of its own.
int OpenTricklingUpload(const std::string& source, int port, int files, int index, bool chunked) {
  const int fd = ConnectFrom(source, port, 5);
  if (fd < 0) return -1;
  std::string bytes = "POST /upload HTTP/1.1\r\n" + HostLine(port) + "Content-Type: multipart/form-data; boundary=B\r\n" +
                      (chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Content-Length: 50000000\r\n\r\n");
  for (int k = 1; k <= files; ++k) {
    std::string filename = std::to_string(k);
    filename.insert(0, 1, 'f').append("_").append(std::to_string(index));
    const std::string part = FilePartBytes("upload" + std::to_string(k), filename, "x");
    bytes += chunked ? Chunk(part) : part;
  }
  const std::string comment = "--B\r\nContent-Disposition: form-data; name=\"comment\"\r\n\r\n";
  bytes += chunked ? Chunk(comment) : comment;
  if (!SendAll(fd, bytes)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string SmallUpload(int port, const std::string& name) {
  const std::string body = MultipartBody(kBoundary, {{"upload1", "hello", true, name}});
  return "POST /upload HTTP/1.1\r\n" + HostLine(port) + "Connection: close\r\nAccept: application/json\r\n" +
         "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// 128 uploads from 8 addresses (within --max-per-address), each with 100
// one-byte files open, then trickling above the rate floor: under the
// unit's LimitNOFILE of 8192 another client's GET /config, download and
// upload are each answered within 1 s, accept never fails, and once the
// attackers go nothing partial or temporary is left. The same holds for
// the attack sent chunked: its file parts wait for the same pace.
class TricklingUploadsTest : public ::testing::TestWithParam<bool> {};  // chunked

TEST_P(TricklingUploadsTest, UploadsHoldingManyFilesLeaveDescriptorsForOthers) {
  const bool chunked = GetParam();
  SetOwnDescriptorLimit(8192, 8192);  // the server inherits it, as from the unit
  TempDir root;
  const fs::path uploads = root.path() / "uploads";
  fs::create_directories(uploads);
  WriteFileBytes(uploads / "known.txt", "known\n");
  ServerProcess server(uploads, {}, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();

  const int port = server.port();
  const double baseline = std::max({BaselineSeconds("127.0.0.1", port, GetRequest(port, "/config")),
                                    BaselineSeconds("127.0.0.1", port, GetRequest(port, "/files/known.txt")),
                                    BaselineSeconds("127.0.0.1", port, SmallUpload(port, "legit-base.txt"))});
  const double bound = LoadAwareBound(1.0, baseline);
  constexpr int kAttackers = 128;
  const auto attack_start = Clock::now();
  std::vector<int> attackers;
  for (int i = 0; i < kAttackers; ++i) {
    const int fd = OpenTricklingUpload("127.0.0." + std::to_string(2 + i % 8), port, 100, i, chunked);
    if (fd >= 0) attackers.push_back(fd);
  }
  EXPECT_GE(attackers.size(), 120u) << "the attack did not get its connections in";
  const std::string trickle = chunked ? Chunk(std::string(2048, 'c')) : std::string(2048, 'c');
  double slowest = 0;
  long most_open = 0;
  for (int round = 0; round < 4; ++round) {
    for (const int fd : attackers) ::send(fd, trickle.data(), trickle.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    double round_slowest = 0;
    for (int attempt = 0; attempt < kAttackAttempts && (attempt == 0 || round_slowest >= bound); ++attempt) {
      const std::string tag = std::to_string(round * kAttackAttempts + attempt);
      const ProbeResult config = TimedRequest("127.0.0.1", port, GetRequest(port, "/config"));
      const ProbeResult download = TimedRequest("127.0.0.1", port, GetRequest(port, "/files/known.txt"));
      const ProbeResult upload = TimedRequest("127.0.0.1", port, SmallUpload(port, "legit" + tag + ".txt"));
      EXPECT_EQ(config.status, 200) << "round " << round;
      EXPECT_EQ(download.status, 200) << "round " << round;
      EXPECT_EQ(upload.status, 200) << "round " << round;
      EXPECT_TRUE(fs::exists(uploads / ("legit" + tag + ".txt"))) << "round " << round;
      round_slowest = std::max({config.seconds, download.seconds, upload.seconds});
    }
    EXPECT_LT(round_slowest, bound) << "round " << round << ", in each of " << kAttackAttempts << " attempts";
    slowest = std::max(slowest, round_slowest);
    // Files begin at the server's pace (200 a second after a burst of 100),
    // each upload's first at once: its descriptors grow no faster (each
    // upload holds its socket, its folder, its first file, and may begin
    // one more ahead of the pace).
    const long open = OpenDescriptors(server.pid());
    const double elapsed = std::chrono::duration<double>(Clock::now() - attack_start).count();
    // An unpaced flood holds what the budget allows (some 7,000) at once.
    EXPECT_LE(open, 6 * kAttackers + 64 + 100 + static_cast<long>(200 * elapsed))
        << "round " << round << ", " << elapsed << " s into the attack";
    most_open = std::max(most_open, open);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::cout << "measured: slowest answer to 127.0.0.1 under the attack " << slowest << " s (bound " << bound
            << " s); at most " << most_open << " descriptors open\n";
  for (const int fd : attackers) ::close(fd);
  // The attackers' uploads end unfinished: nothing of theirs may stay.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  std::vector<std::string> left;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    left.clear();
    for (const auto& entry : fs::directory_iterator(uploads)) {
      const std::string name = entry.path().filename().string();
      if (name != "known.txt" && !name.starts_with("legit")) left.push_back(name);
    }
  } while (!left.empty() && Clock::now() < deadline);
  EXPECT_TRUE(left.empty()) << left.size() << " entries left, first " << left.front();
  const std::string log = server.Log();
  const std::size_t failed = log.find("accept failed");
  EXPECT_EQ(failed, std::string::npos) << log.substr(failed == std::string::npos ? 0 : failed, 200);
  EXPECT_EQ(server.Interrupt(), 0) << LastLines(server.Log(), 20);
}

INSTANTIATE_TEST_SUITE_P(LengthAndChunked, TricklingUploadsTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "chunked" : "length"); });

struct ShedCase {
  const char* name;
  std::vector<std::string> args;
  rlim_t descriptor_limit;  // set on the running server; 0 to leave it
  int clients;
  int room;  // the most connections the server can hold in this case
};

void PrintTo(const ShedCase& c, std::ostream* out) { *out << c.name; }

class ShedIdleTest : public ::testing::TestWithParam<ShedCase> {};

// Keep-alive clients that each asked once and then wait, idle, fill what
// the server can hold: its descriptors (a limit of 64 set on the running
// server) or its connection slots. Every new client is still answered 200
// within a second, and the room is made by closing the connections idle
// longest: those closed are the oldest, the newest stay open.
TEST_P(ShedIdleTest, IdleKeepAliveConnectionsGiveWayToNewClients) {
  const ShedCase& c = GetParam();
  TempDir root;
  std::vector<std::string> args = {"--idle-timeout", "60", "--max-per-address", "100"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ServerProcess server(root.path() / "uploads", args, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const double bound =
      LoadAwareBound(1.0, BaselineSeconds("127.0.0.1", server.port(), GetRequest(server.port(), "/config")));
  if (c.descriptor_limit != 0) {
    const rlimit limit{c.descriptor_limit, c.descriptor_limit};
    ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  }
  const std::string request = "GET /config HTTP/1.1\r\n" + HostLine(server.port()) + "\r\n";
  std::vector<int> held;
  std::string statuses;
  double slowest = 0;
  for (int i = 0; i < c.clients; ++i) {
    const auto start = Clock::now();
    const int fd = ConnectFrom(std::string("127.0.0.").append(std::to_string(2 + i % 4)), server.port(), 5);
    ASSERT_GE(fd, 0) << "client " << i;
    held.push_back(fd);
    const HttpAnswer answer = SendAll(fd, request) ? ReadAnswer(fd) : HttpAnswer{};
    slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - start).count());
    if (answer.status != 200) statuses.append(" ").append(std::to_string(i)).append(":").append(std::to_string(answer.status));
  }
  EXPECT_EQ(statuses, "") << "clients not answered 200 (client:status)";
  EXPECT_LT(slowest, bound);
  // Which connections the server closed: a read that ends at once.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<bool> closed;
  for (const int fd : held) {
    char byte;
    closed.push_back(::recv(fd, &byte, 1, MSG_DONTWAIT) == 0);
    ::close(fd);
  }
  std::string pattern;
  for (const bool c_closed : closed) pattern += c_closed ? 'x' : '.';
  const auto closed_count = std::count(closed.begin(), closed.end(), true);
  // A connection counts as idle once its answer's write has completed on
  // the server. The client reads the answer before that completion has run,
  // so on a busy machine a connection or two may not yet be idle when the
  // next clients need room, and newer ones go first: a few places of slack
  // (closing newest first would leave about half the connections out of
  // place).
  const auto newest_closed = closed.rend() - std::find(closed.rbegin(), closed.rend(), true);
  std::cout << "measured: " << c.name << ": " << closed_count << " of " << c.clients
            << " idle connections closed for room, slowest answer " << slowest << " s\n";
  EXPECT_GE(closed_count, c.clients - c.room);
  EXPECT_LE(newest_closed, closed_count + 3) << "newer connections closed before older ones (x: closed): " << pattern;
  EXPECT_FALSE(closed.back());
  EXPECT_NE(server.Log().find("closed the connection idle longest"), std::string::npos) << LastLines(server.Log(), 20);
  EXPECT_EQ(server.Interrupt(), 0) << LastLines(server.Log(), 20);
}

INSTANTIATE_TEST_SUITE_P(DescriptorsAndSlots, ShedIdleTest,
                         ::testing::Values(ShedCase{"descriptors", {}, 64, 100, 64},
                                           ShedCase{"slots", {"--max-connections", "16"}, 0, 40, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FloodCase {
  const char* name;
  bool tls;
};

void PrintTo(const FloodCase& c, std::ostream* out) { *out << c.name; }

class ConnectionFloodTest : public ::testing::TestWithParam<FloodCase> {};

// One address opens 500 connections a second that never send a byte.
// Another address's GET /config is answered within 200 ms at the median
// and 1 s at the 99th percentile, over plain HTTP and over TLS.
TEST_P(ConnectionFloodTest, OneAddressCannotFillTheConnectionSlots) {
  SetOwnDescriptorLimit(20000, 0);
  TempDir root;
  std::vector<std::string> args;
  if (GetParam().tls) {
    ASSERT_TRUE(MakeTestCertificate(root.path().string()));
    args = {"--tls-cert", (root.path() / "cert.pem").string(), "--tls-key", (root.path() / "key.pem").string()};
  }
  ServerProcess server(root.path() / "uploads", args, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const std::string config = GetRequest(server.port(), "/config");
  const double baseline = BaselineSeconds("127.0.0.3", server.port(), config, GetParam().tls);
  const double median_bound = LoadAwareBound(0.2, baseline);
  const double p99_bound = LoadAwareBound(1.0, baseline);
  ConnectionFlood flood("127.0.0.2", server.port(), 500, 12.0, 6000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the slots fill within a second, if they can
  double median = 0, p99 = 0;
  for (int attempt = 0; attempt < kAttackAttempts && (attempt == 0 || median >= median_bound || p99 >= p99_bound);
       ++attempt) {
    Prober prober("127.0.0.3", server.port(), config, std::chrono::milliseconds(100), GetParam().tls);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::vector<ProbeResult> results = prober.Stop();
    std::vector<double> seconds;
    int answered = 0;
    for (const ProbeResult& result : results) {
      seconds.push_back(result.status == 0 ? 15.0 : result.seconds);
      answered += result.status == 200;
    }
    EXPECT_GE(results.size(), 5u) << "probes answered too slowly to take five in 5 s";
    EXPECT_EQ(answered, static_cast<int>(results.size()));
    median = Quantile(seconds, 0.5);
    p99 = Quantile(seconds, 0.99);
    std::cout << "measured: " << GetParam().name << " flood, attempt " << attempt + 1 << ": median " << median
              << " s, p99 " << p99 << " s over " << results.size() << " probes (bounds " << median_bound << ", "
              << p99_bound << " s; baseline " << baseline << " s)\n";
  }
  flood.Stop();
  std::cout << "measured: " << flood.opened() << " flood connections\n";
  EXPECT_LT(median, median_bound) << "in each of " << kAttackAttempts << " attempts";
  EXPECT_LT(p99, p99_bound) << "in each of " << kAttackAttempts << " attempts";
  EXPECT_EQ(server.Interrupt(), 0);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ConnectionFloodTest,
                         ::testing::Values(FloodCase{"plain", false}, FloodCase{"tls", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zimrax::testing
