// A durable upload's Finish (its publishing and syncs) runs off the I/O
// threads: while one upload's Finish is held up, the only I/O thread still
// answers another connection, and another upload is stored meanwhile.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

#include "server/serve_config.h"
#include "server/upload_server.h"
#include "server_process.h"

namespace zimrax::zmfile {
namespace {

using testing::ConnectFrom;
using testing::HostLine;
using testing::HttpAnswer;
using testing::MultipartBody;
using testing::ReadAnswer;
using testing::ReadFileBytes;
using testing::SendAll;
using testing::TempDir;
using testing::UploadRequest;

constexpr const char* kBoundary = "diskThreadsBoundary";

std::string OneFileBody(const std::string& name, const std::string& data) {
  return MultipartBody(kBoundary, {{"upload1", data, true, name}});
}

// Sends `request` on a fresh connection and reads its answer (at most `seconds`).
HttpAnswer Exchange(int port, const std::string& request, int seconds) {
  const int fd = ConnectFrom("127.0.0.1", port, seconds);
  if (fd < 0) return {};
  HttpAnswer answer = SendAll(fd, request) ? ReadAnswer(fd) : HttpAnswer{};
  ::close(fd);
  return answer;
}

TEST(DiskThreadsTest, AHeldUpFinishHoldsUpNoOtherConnection) {
  TempDir dir;
  ServeOptions options;
  options.dir = dir.path().string();
  options.port = 0;
  options.threads = 1;  // one I/O thread: a Finish run on it would stall every connection
  options.fsync = true;
  std::string why;
  std::optional<ServeConfig> config = ParseServeConfig(options, &why);
  ASSERT_TRUE(config) << why;
  std::promise<void> held;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> finishes{0};
  config->before_finish_for_testing = [&held, released, &finishes] {
    if (finishes++ != 0) return;
    held.set_value();
    released.wait();
  };
  std::ostringstream log;  // read only once the server has stopped
  UploadServer server(*config, log);
  ASSERT_TRUE(server.Bind());
  const int port = server.port();
  std::atomic<bool> stopped_cleanly{false};
  std::thread runner([&server, &stopped_cleanly] { stopped_cleanly = server.Run(); });

  // The first upload's Finish is held until released.
  const int first = ConnectFrom("127.0.0.1", port, 30);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(SendAll(first, UploadRequest(port, kBoundary, OneFileBody("first.txt", "one"))));
  const bool was_held = held.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  EXPECT_TRUE(was_held);

  if (was_held) {
    // Meanwhile another connection is answered, and another upload stored.
    const HttpAnswer page =
        Exchange(port, "GET /config HTTP/1.1\r\n" + HostLine(port) + "Connection: close\r\n\r\n", 10);
    EXPECT_EQ(page.status, 200);
    const HttpAnswer second = Exchange(port, UploadRequest(port, kBoundary, OneFileBody("second.txt", "two")), 10);
    EXPECT_EQ(second.status, 200) << second.body;
    EXPECT_EQ(ReadFileBytes(dir.path() / "second.txt"), "two");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "first.txt")) << "the held upload is not published yet";
  }
  release.set_value();
  const HttpAnswer answer = ReadAnswer(first);
  ::close(first);
  EXPECT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(ReadFileBytes(dir.path() / "first.txt"), "one");

  ::kill(::getpid(), SIGTERM);  // the server's signal set takes it: Run returns
  runner.join();
  EXPECT_TRUE(stopped_cleanly);
}

}  // namespace
}  // namespace zimrax::zmfile
