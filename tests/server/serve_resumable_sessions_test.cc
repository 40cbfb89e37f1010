// Resumable uploads across requests and users: two PATCHes at once, a
// dropped connection, another user's upload, expiry and the caps.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "server_process.h"
#include "support/numbered.h"
#include "tus_client.h"

namespace zimrax {
namespace {

namespace fs = std::filesystem;
using testing::Base64;
using testing::CreateUpload;
using testing::HttpAnswer;
using testing::Patch;
using testing::Tus;

class ResumableServer {
 public:
  explicit ResumableServer(const std::vector<std::string>& args)
      : uploads_(root_.path() / "uploads"), server_(uploads_, args, root_.path() / "server.log") {}
  testing::TempDir root_;
  fs::path uploads_;
  testing::ServerProcess server_;

  fs::path Staged(const std::string& location, const std::string& suffix) const {
    return uploads_ / ".resumable-uploads" / (location.substr(location.rfind('/') + 1) + suffix);
  }
  // Waits (at most 10 s) until the staged data of `location` holds `size` bytes.
  bool WaitForStaged(const std::string& location, std::uintmax_t size) const {
    for (int i = 0; i < 1000; ++i) {
      std::error_code error;
      if (fs::file_size(Staged(location, ".data"), error) == size) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Sends a PATCH's headers and the first `sent` bytes of `data` on a new
  // connection, which it returns.
  int StartPatch(const std::string& location, const std::string& data, std::size_t sent) const {
    const std::string request =
        testing::TusRequest(server_.port(), "PATCH", location,
                            {{"Upload-Offset", "0"}, {"Content-Type", "application/offset+octet-stream"}}, data);
    const int fd = testing::ConnectFrom("127.0.0.1", server_.port());
    if (fd >= 0) testing::SendAll(fd, request.substr(0, request.size() - data.size() + sent));
    return fd;
  }
};

TEST(ServeResumableSessionsTest, ASecondPatchWhileOneRunsGets423AndCorruptsNothing) {
  ResumableServer server({});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  const std::string data = testing::RandomBytes(400000, 3);
  const std::string target = CreateUpload(port, "both.bin", data.size());
  const int first = server.StartPatch(target, data, 150000);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(server.WaitForStaged(target, 150000));
  const HttpAnswer second = Patch(port, target, 0, testing::RandomBytes(1000, 4));
  EXPECT_EQ(second.status, 423) << second.body;
  ASSERT_TRUE(testing::SendAll(first, data.substr(150000)));
  const HttpAnswer done = testing::ReadAnswer(first);
  ::close(first);
  EXPECT_EQ(done.status, 204) << done.body;
  EXPECT_EQ(done.Header("Zmfile-Result-Code"), "0");
  EXPECT_EQ(testing::ReadFileBytes(server.uploads_ / "both.bin"), data);
}

// A page polls HEAD while its PATCHes go on (under --fsync, where HEAD
// syncs): no PATCH may find the upload held by a HEAD, and each HEAD tells
// acknowledged pieces only, never fewer than one before it; while the last
// PATCH stores the file, HEAD may be asked to wait (423). (Every request
// comes on a new connection, hence the raised --accept-rate.)
TEST(ServeResumableSessionsTest, HeadsPolledMeanwhileNeitherHoldUpNorMisreportAPatch) {
  ResumableServer server({"--fsync", "--accept-rate", "100000"});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  constexpr std::size_t kPiece = 8192;
  constexpr std::size_t kPieces = 60;
  const std::string data = testing::RandomBytes(kPiece * kPieces, 7);
  const std::string target = CreateUpload(port, "polled.bin", data.size());
  ASSERT_FALSE(target.empty());
  std::atomic<bool> done{false};
  std::vector<std::vector<HttpAnswer>> seen(2);
  std::vector<std::thread> pollers;
  for (auto& answers : seen) {
    pollers.emplace_back([&, &answers = answers] {
      for (int i = 0; i < 5000 && !done; ++i) answers.push_back(Tus(port, "HEAD", target, {}));
    });
  }
  std::vector<int> statuses;
  for (std::size_t i = 0; i < kPieces; ++i) {
    statuses.push_back(Patch(port, target, i * kPiece, data.substr(i * kPiece, kPiece)).status);
  }
  done = true;
  for (auto& poller : pollers) poller.join();
  EXPECT_EQ(statuses, std::vector<int>(kPieces, 204));
  EXPECT_TRUE(testing::ReadFileBytes(server.uploads_ / "polled.bin") == data) << "polled.bin differs from its upload";
  for (const auto& answers : seen) {
    std::size_t last = 0;
    for (const HttpAnswer& answer : answers) {
      if (answer.status == 423 && last == kPiece * (kPieces - 1)) continue;  // the last PATCH is storing the file
      ASSERT_EQ(answer.status, 200) << answer.body << " after offset " << last;
      const std::size_t offset = std::stoul(answer.Header("Upload-Offset"));
      EXPECT_EQ(offset % kPiece, 0u) << "a HEAD told bytes a PATCH was still writing: " << offset;
      EXPECT_GE(offset, last) << "a HEAD told fewer bytes than one before it";
      last = offset;
    }
  }
}

TEST(ServeResumableSessionsTest, ADroppedConnectionKeepsTheBytesReceived) {
  ResumableServer server({});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  const std::string data = testing::RandomBytes(300000, 5);
  const std::string target = CreateUpload(port, "dropped.bin", data.size());
  const int fd = server.StartPatch(target, data, 120000);
  ASSERT_TRUE(server.WaitForStaged(target, 120000));
  ::close(fd);
  // Once the server has seen the close, the lock is free and the offset is
  // what arrived.
  HttpAnswer resumed;
  for (int i = 0; i < 100; ++i) {
    resumed = Patch(port, target, 120000, data.substr(120000));
    if (resumed.status != 423) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(resumed.status, 204) << resumed.body;
  EXPECT_EQ(testing::ReadFileBytes(server.uploads_ / "dropped.bin"), data);
}

TEST(ServeResumableSessionsTest, AnotherUsersUploadIsNotFound) {
  testing::TempDir users;
  const std::string ann = testing::RunCommand({"htpasswd", "-nbB", "-C", "4", "ann", "ann-secret"}).out;
  const std::string bob = testing::RunCommand({"htpasswd", "-nbB", "-C", "4", "bob", "bob-secret"}).out;
  ASSERT_FALSE(ann.empty());
  testing::WriteFileBytes(users.path() / "users", ann + bob);
  ResumableServer server({"--htpasswd", (users.path() / "users").string()});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  const std::string target = CreateUpload(port, "ann.txt", 4, "ann:ann-secret");
  ASSERT_FALSE(target.empty());
  EXPECT_EQ(Tus(port, "HEAD", target, {}).status, 401);
  EXPECT_EQ(Tus(port, "HEAD", target, {}, "", "bob:bob-secret").status, 404);
  EXPECT_EQ(Patch(port, target, 0, "bob!", {}, "bob:bob-secret").status, 404);
  EXPECT_EQ(Tus(port, "DELETE", target, {}, "", "bob:bob-secret").status, 404);
  EXPECT_EQ(Tus(port, "HEAD", target, {}, "", "ann:ann-secret").Header("Upload-Offset"), "0");
  EXPECT_EQ(Patch(port, target, 0, "ann!", {}, "ann:ann-secret").Header("Zmfile-Result-Code"), "0");
  EXPECT_EQ(testing::ReadFileBytes(server.uploads_ / "ann.txt"), "ann!");
}

// Expiry runs on the wall clock, which a fresh machine's first time sync
// may step by seconds: tells whether it kept pace with the steady clock.
class WallClockWatch {
 public:
  bool Stepped() const {
    const auto wall = std::chrono::system_clock::now() - wall_start_;
    const auto steady = std::chrono::steady_clock::now() - steady_start_;
    return std::chrono::abs(wall - steady) > std::chrono::milliseconds(300);
  }

 private:
  std::chrono::system_clock::time_point wall_start_ = std::chrono::system_clock::now();
  std::chrono::steady_clock::time_point steady_start_ = std::chrono::steady_clock::now();
};

TEST(ServeResumableSessionsTest, AnExpiredUploadIsGoneAndSwept) {
  // The periodic sweep leaves an upload 3 s past its expiry to this test.
  ResumableServer server({"--resumable-expiry", "3s"});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  const WallClockWatch watch;
  const std::string target = CreateUpload(port, "slow.txt", 10);
  const std::string other = CreateUpload(port, "other.txt", 10);
  ASSERT_EQ(Patch(port, target, 0, "abc").status, 204);
  std::this_thread::sleep_for(std::chrono::milliseconds(3300));
  if (watch.Stepped()) GTEST_SKIP() << "the wall clock was stepped; the expiry cannot be judged";
  EXPECT_EQ(Patch(port, target, 3, "def").status, 410);
  EXPECT_FALSE(fs::exists(server.Staged(target, ".data")));
  EXPECT_FALSE(fs::exists(server.Staged(target, ".json")));
  EXPECT_EQ(Tus(port, "HEAD", target, {}).status, 404);
  // A creation sweeps the other expired uploads.
  ASSERT_FALSE(CreateUpload(port, "new.txt", 10).empty());
  EXPECT_FALSE(fs::exists(server.Staged(other, ".json")));
}

// Without any request about it, an expired upload is removed by the
// server's periodic sweep, not before its grace has passed, and an
// unexpired one is kept.
TEST(ServeResumableSessionsTest, AnExpiredUploadNobodyAsksAboutIsSwept) {
  ResumableServer server({"--resumable-expiry", "2s"});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  const WallClockWatch watch;
  const auto start = std::chrono::steady_clock::now();
  const std::string target = CreateUpload(port, "forgotten.txt", 10);
  ASSERT_EQ(Patch(port, target, 0, "abc").status, 204);
  ASSERT_TRUE(fs::exists(server.Staged(target, ".data")));
  bool swept = false;
  for (int i = 0; i < 200 && !swept; ++i) {  // at most 20 s
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    swept = !fs::exists(server.Staged(target, ".json")) && !fs::exists(server.Staged(target, ".data"));
  }
  const auto swept_after = std::chrono::steady_clock::now() - start;
  const std::string fresh = CreateUpload(port, "fresh.txt", 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  if (watch.Stepped()) GTEST_SKIP() << "the wall clock was stepped; the expiry cannot be judged";
  EXPECT_TRUE(swept);
  // 2 s of expiry, then as long again of grace, in which a client learns 410.
  EXPECT_GE(swept_after, std::chrono::seconds(3));
  EXPECT_TRUE(fs::exists(server.Staged(fresh, ".json")));
}

TEST(ServeResumableSessionsTest, CapsOnUnfinishedUploads) {
  ResumableServer server({"--resumable-max-incomplete", "2", "--resumable-max-staging", "1000"});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  const std::string first = CreateUpload(port, "a", 100);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(CreateUpload(port, "b", 100).empty());
  const auto create = [&](std::size_t length) {
    return Tus(port, "POST", "/resumable/",
               {{"Upload-Length", std::to_string(length)}, {"Upload-Metadata", "filename " + Base64("c")}});
  };
  EXPECT_EQ(create(100).status, 429);
  // A finished upload no longer counts.
  ASSERT_EQ(Patch(port, first, 0, std::string(100, 'a')).Header("Zmfile-Result-Code"), "0");
  EXPECT_EQ(create(901).status, 507);  // 100 held + 901 > 1000
  EXPECT_NE(server.server_.Log().find("--resumable-max-staging"), std::string::npos);
  EXPECT_EQ(create(800).status, 201);
}

// An upload of deferred length is held to the staging cap and the size
// rule as its data comes, declared or chunked: past either it is refused
// (507 or 413) and none of the request's data is kept.
TEST(ServeResumableSessionsTest, ADeferredLengthsDataStaysWithinTheStagingCapAndTheSizeRule) {
  ResumableServer server({"--resumable-max-staging", "1000", "--max-file-size", "600"});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  std::map<std::string, std::string> targets;
  for (const char* name : {"a", "b"}) {
    const HttpAnswer created = Tus(port, "POST", "/resumable/",
                                   {{"Upload-Defer-Length", "1"}, {"Upload-Metadata", "filename " + Base64(name)}});
    ASSERT_EQ(created.status, 201);
    targets[name] = created.Header("Location");
  }
  struct Step {
    const char* upload;
    bool chunked;
    std::size_t offset, size;
    int status;
  };
  const Step steps[] = {
      {"a", true, 0, 700, 413}, {"a", false, 0, 700, 413},  // the size rule binds
      {"a", true, 0, 500, 204},                             // the staging folder now holds 500
      {"b", true, 0, 550, 507}, {"b", false, 0, 550, 507},  // the cap binds
      {"b", true, 0, 500, 204}, {"a", true, 500, 1, 507},   // full
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.upload) + (step.chunked ? " chunked " : " declared ") + std::to_string(step.size));
    const std::string& target = targets[step.upload];
    const std::string offset_before = Tus(port, "HEAD", target, {}).Header("Upload-Offset");
    const std::string data(step.size, 'd');
    const HttpAnswer answer =
        step.chunked ? testing::ChunkedTus(port, "PATCH", target,
                                           "Upload-Offset: " + std::to_string(step.offset) + "\r\n", data, 64)
                     : Patch(port, target, step.offset, data);
    EXPECT_EQ(answer.status, step.status) << answer.body;
    const std::string offset_after = Tus(port, "HEAD", target, {}).Header("Upload-Offset");
    EXPECT_EQ(offset_after, answer.status == 204 ? std::to_string(step.offset + step.size) : offset_before);
  }
  EXPECT_NE(server.server_.Log().find("--resumable-max-staging 1000"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(server.uploads_ / ".resumable-uploads")) {
    EXPECT_NE(entry.path().extension(), ".claim") << "a claim outlived its request";
  }
}

// PATCHes of deferred length at once cannot together pass the staging cap:
// each claims its room before its data comes. Eight PATCHes of 300 bytes
// each hold their connections part-sent while the next one starts; with a
// cap of 1000 exactly three are taken.
TEST(ServeResumableSessionsTest, DeferredPatchesAtOnceTogetherKeepTheStagingCap) {
  ResumableServer server({"--resumable-max-staging", "1000"});
  ASSERT_TRUE(server.server_.ok()) << server.server_.Log();
  const int port = server.server_.port();
  constexpr std::size_t kSize = 300;
  constexpr std::size_t kSent = 100;
  std::map<int, std::string> taken;  // connection -> upload
  int refused = 0;
  for (int i = 0; i < 8; ++i) {
    const HttpAnswer created = Tus(
        port, "POST", "/resumable/",
        {{"Upload-Defer-Length", "1"}, {"Upload-Metadata", "filename " + Base64(testing::Numbered("deferred-", i))}});
    ASSERT_EQ(created.status, 201);
    const std::string target = created.Header("Location");
    const int fd = server.StartPatch(target, std::string(kSize, 'p'), kSent);
    ASSERT_GE(fd, 0);
    // Taken (its first bytes staged) or refused (answered at once).
    bool decided = false;
    for (int wait = 0; wait < 1000 && !decided; ++wait) {
      std::error_code error;
      pollfd readable{fd, POLLIN, 0};
      if (::poll(&readable, 1, 10) > 0) {
        EXPECT_EQ(testing::ReadAnswer(fd).status, 507);
        ::close(fd);
        ++refused;
        decided = true;
      } else if (fs::file_size(server.Staged(target, ".data"), error) == kSent) {
        taken[fd] = target;
        decided = true;
      }
    }
    ASSERT_TRUE(decided) << "PATCH " << i << " was neither taken nor refused";
  }
  for (const auto& [fd, target] : taken) {
    ASSERT_TRUE(testing::SendAll(fd, std::string(kSize - kSent, 'p')));
    EXPECT_EQ(testing::ReadAnswer(fd).status, 204);
    ::close(fd);
  }
  EXPECT_EQ(taken.size(), 3u);
  EXPECT_EQ(refused, 5);
}

}  // namespace
}  // namespace zimrax
