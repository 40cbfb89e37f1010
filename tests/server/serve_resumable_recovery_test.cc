// Resumable uploads against the worst moments: a server killed between
// publishing a completed upload and recording it, a HEAD while a PATCH is
// writing, and creations at once (in two servers sharing the staging
// folder) against the cap on unfinished uploads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "server_process.h"
#include "tus_client.h"

namespace zimrax {
namespace {

namespace fs = std::filesystem;
using testing::Base64;
using testing::CreateUpload;
using testing::Patch;
using testing::Tus;

fs::path StagedPath(const fs::path& uploads, const std::string& location, const std::string& suffix) {
  return uploads / ".resumable-uploads" / (location.substr(location.rfind('/') + 1) + suffix);
}

// Waits (at most 10 s) until `done` holds.
template <typename Condition>
bool WaitUntil(Condition done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The visible files of `dir` and their contents.
std::map<std::string, std::string> VisibleFiles(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    if (!name.starts_with('.')) files[name] = testing::ReadFileBytes(entry.path());
  }
  return files;
}

// A header value's percent-escapes decoded.
std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Sends a PATCH with all of `data` at `offset` on a new connection and
// returns it without reading the answer.
int SendPatch(int port, const std::string& location, std::size_t offset, const std::string& data, std::size_t sent) {
  const std::string request = testing::TusRequest(
      port, "PATCH", location,
      {{"Upload-Offset", std::to_string(offset)}, {"Content-Type", "application/offset+octet-stream"}}, data);
  const int fd = testing::ConnectFrom("127.0.0.1", port);
  if (fd >= 0) testing::SendAll(fd, request.substr(0, request.size() - data.size() + sent));
  return fd;
}

// The server is killed after the completed data got its name and before
// the outcome is saved: the outcome's write is made to wait on a FIFO put
// where it is written. After a restart the upload must answer with
// the name it got, and a resumed PATCH must not publish it again.
TEST(ServeResumableRecoveryTest, KillBetweenPublishAndRecordPublishesOnce) {
  struct Case {
    std::string policy;
    bool name_taken;
    std::size_t files_after;
  };
  const Case cases[] = {{"error", false, 1}, {"makeunique", true, 2}, {"overwrite", true, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy);
    testing::TempDir root;
    const fs::path uploads = root.path() / "uploads";
    const std::vector<std::string> args = {"--client-conflict", "error,overwrite,makeunique"};
    std::optional<testing::ServerProcess> server;
    server.emplace(uploads, args, root.path() / "first.log");
    ASSERT_TRUE(server->ok()) << server->Log();
    if (c.name_taken) testing::WriteFileBytes(uploads / "kept.bin", "older");
    const std::string data = testing::RandomBytes(100000, 7);
    const std::string target = CreateUpload(server->port(), "kept.bin", data.size(), "", ",conflict " + Base64(c.policy));
    ASSERT_FALSE(target.empty());
    // The outcome is written once through ID.done.new, itself written
    // through ID.done.new.new.
    const fs::path fifo = StagedPath(uploads, target, ".done.new.new");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const int fd = SendPatch(server->port(), target, 0, data, data.size());
    ASSERT_GE(fd, 0);
    // Published: a visible file holds the data (the outcome waits on the FIFO).
    const bool published = WaitUntil([&] {
      for (const auto& [name, bytes] : VisibleFiles(uploads)) {
        if (bytes == data) return true;
      }
      return false;
    });
    server->Kill();
    ::close(fd);
    ASSERT_TRUE(published);
    // Killed in the window: no outcome was saved.
    ASSERT_FALSE(fs::exists(StagedPath(uploads, target, ".done")));
    fs::remove(fifo);

    server.emplace(uploads, args, root.path() / "second.log");
    ASSERT_TRUE(server->ok()) << server->Log();
    const testing::HttpAnswer head = Tus(server->port(), "HEAD", target, {});
    EXPECT_EQ(head.status, 200) << head.body;
    EXPECT_EQ(head.Header("Upload-Offset"), std::to_string(data.size()));
    EXPECT_EQ(head.Header("Zmfile-Result-Code"), "0");
    const std::string stored = PercentDecoded(head.Header("Zmfile-Stored-Name"));
    const testing::HttpAnswer resumed = Patch(server->port(), target, data.size(), "");
    EXPECT_EQ(resumed.status, 204) << resumed.body;
    EXPECT_EQ(PercentDecoded(resumed.Header("Zmfile-Stored-Name")), stored);

    const std::map<std::string, std::string> files = VisibleFiles(uploads);
    EXPECT_EQ(files.size(), c.files_after);
    ASSERT_TRUE(files.contains(stored)) << stored;
    EXPECT_TRUE(files.at(stored) == data);
    EXPECT_FALSE(fs::exists(StagedPath(uploads, target, ".publishing")));
  }
}

// While a PATCH is writing, HEAD tells the bytes acknowledged, not those
// arriving; once the PATCH is gone (its connection dropped), the bytes it
// left, synced under --fsync.
TEST(ServeResumableRecoveryTest, HeadDuringAPatchTellsOnlyAcknowledgedBytes) {
  testing::TempDir root;
  const fs::path uploads = root.path() / "uploads";
  testing::ServerProcess server(uploads, {"--fsync"}, root.path() / "server.log");
  ASSERT_TRUE(server.ok()) << server.Log();
  const int port = server.port();
  const std::string target = CreateUpload(port, "slow.bin", 1000);
  ASSERT_FALSE(target.empty());
  ASSERT_EQ(Patch(port, target, 0, std::string(400, 'a')).status, 204);
  const int fd = SendPatch(port, target, 400, std::string(600, 'b'), 300);
  ASSERT_GE(fd, 0);
  std::error_code error;
  ASSERT_TRUE(WaitUntil([&] { return fs::file_size(StagedPath(uploads, target, ".data"), error) == 700; }));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Tus(port, "HEAD", target, {}).Header("Upload-Offset"), "400");
  ::close(fd);
  EXPECT_TRUE(WaitUntil([&] { return Tus(port, "HEAD", target, {}).Header("Upload-Offset") == "700"; }));
}

// Sixteen creations at once, half through each of two servers sharing the
// upload folder, against a cap of three unfinished uploads per address:
// exactly three are created. Other addresses' uploads make each check
// read many records, as a busy server's would.
TEST(ServeResumableRecoveryTest, ConcurrentCreationsInTwoServersKeepTheCap) {
  testing::TempDir root;
  const fs::path uploads = root.path() / "uploads";
  const std::vector<std::string> args = {"--resumable-max-incomplete", "3"};
  testing::ServerProcess first(uploads, args, root.path() / "first.log");
  testing::ServerProcess second(uploads, args, root.path() / "second.log");
  ASSERT_TRUE(first.ok()) << first.Log();
  ASSERT_TRUE(second.ok()) << second.Log();
  for (int address = 2; address < 32; ++address) {
    const std::string request = testing::TusRequest(
        first.port(), "POST", "/resumable/", {{"Upload-Length", "10"}, {"Upload-Metadata", "filename " + Base64("x")}});
    const int fd = testing::ConnectFrom("127.0.0." + std::to_string(address), first.port());
    ASSERT_GE(fd, 0);
    testing::SendAll(fd, request);
    EXPECT_EQ(testing::ReadAnswer(fd).status, 201);
    ::close(fd);
  }
  std::atomic<int> created = 0;
  std::atomic<int> refused = 0;
  std::vector<std::thread> clients;
  for (int i = 0; i < 16; ++i) {
    clients.emplace_back([&, i] {
      const int port = i % 2 == 0 ? first.port() : second.port();
      const int status = Tus(port, "POST", "/resumable/",
                             {{"Upload-Length", "10"}, {"Upload-Metadata", "filename " + Base64("y")}})
                             .status;
      (status == 201 ? created : refused) += status == 201 || status == 429 ? 1 : 0;
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(created.load(), 3);
  EXPECT_EQ(refused.load(), 13);
}

}  // namespace
}  // namespace zimrax
