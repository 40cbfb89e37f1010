// What the server's connections share under load, on its own: the listing
// scans, the pool of refused connections lingering, the queue that gives
// client addresses turns at the password hashes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/fair_task_queue.h"
#include "server/linger_pool.h"
#include "server/listing_service.h"
#include "server_process.h"
#include "support/numbered.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using testing::Numbered;

// A folder of `count` files, f0 oldest to f<count-1> newest.
fs::path FolderOf(const testing::TempDir& root, int count) {
  const fs::path dir = root.path() / "files";
  fs::create_directories(dir);
  for (int i = 0; i < count; ++i) {
    const fs::path path = dir / Numbered("f", i);
    testing::WriteFileBytes(path, "x");
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1) + std::chrono::seconds(i));
  }
  return dir;
}

TEST(ListingServiceTest, ConcurrentRequestsShareAScan) {
  testing::TempDir root;
  ListingService service(FolderOf(root, 300).string(), {});
  std::mutex mutex;
  std::condition_variable answered;
  std::vector<std::string> firsts;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(service.Request(Numbered("10.0.0.", i), 1 + i % 3, std::nullopt, [&](const Listing& page) {
      std::lock_guard<std::mutex> lock(mutex);
      firsts.push_back(page.files.empty() ? "" : page.files.front().name);
      answered.notify_all();
    }));
  }
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(answered.wait_for(lock, std::chrono::seconds(10), [&] { return firsts.size() == 20; }));
  for (const std::string& first : firsts) EXPECT_EQ(first, "f299");
  EXPECT_LE(service.scans(), 2u);
}

TEST(ListingServiceTest, CapsPerAddressAndQueueAndForgetsScansOfAChangedFolder) {
  testing::TempDir root;
  const fs::path dir = FolderOf(root, 5);
  ListingService service(dir.string(), {std::chrono::seconds(30), 2, 3});
  std::mutex mutex;
  std::condition_variable changed;
  bool busy = false, release = false;
  int done = 0;
  auto count = [&](const Listing&) {
    std::lock_guard<std::mutex> lock(mutex);
    ++done;
    changed.notify_all();
  };
  // The first answer holds the worker until released.
  ASSERT_TRUE(service.Request("A", 1, std::nullopt, [&](const Listing&) {
    std::unique_lock<std::mutex> lock(mutex);
    busy = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    ++done;
  }));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return busy; }));
  }
  auto page = [](int n) { return std::optional<ListingCursor>(ListingCursor{n, "p"}); };
  EXPECT_TRUE(service.Request("A", 1, page(2), count));
  EXPECT_TRUE(service.Request("A", 1, page(3), count));
  EXPECT_FALSE(service.Request("A", 1, page(4), count)) << "A has 2 waiting";
  EXPECT_TRUE(service.Request("B", 1, page(2), count)) << "joins A's scan";
  EXPECT_TRUE(service.Request("B", 1, page(5), count));
  EXPECT_FALSE(service.Request("C", 1, page(6), count)) << "3 scans queued";
  {
    std::unique_lock<std::mutex> lock(mutex);
    release = true;
    changed.notify_all();
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return done == 5; }));
  }
  EXPECT_EQ(service.scans(), 4u);
  // The first page is kept for the share time: answered at once, unscanned.
  std::string first;
  ASSERT_TRUE(service.Request("C", 1, std::nullopt, [&](const Listing& p) { first = p.files.front().name; }));
  EXPECT_EQ(first, "f4");
  EXPECT_EQ(service.scans(), 4u);
  // Until the folder changes.
  testing::WriteFileBytes(dir / "new", "x");
  service.Invalidate();
  ASSERT_TRUE(service.Request("C", 1, std::nullopt, [&](const Listing& p) {
    std::lock_guard<std::mutex> lock(mutex);
    first = p.files.front().name;
    ++done;
    changed.notify_all();
  }));
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return done == 6; }));
  EXPECT_EQ(first, "new");
  EXPECT_EQ(service.scans(), 5u);
  ASSERT_TRUE(service.LatestFirstPage());
  EXPECT_EQ(service.LatestFirstPage()->files.front().name, "new");
}

TEST(ListingServiceTest, PagesCutAndMergeInListingOrder) {
  testing::TempDir root;
  const fs::path dir = FolderOf(root, 4);
  const Listing all = ListStoredFiles(dir.string(), 10);
  const Listing two = FirstOf(all, 2);
  ASSERT_EQ(two.files.size(), 2u);
  ASSERT_TRUE(two.next);
  EXPECT_EQ(two.next->name, "f2");
  EXPECT_FALSE(FirstOf(all, 4).next);
  testing::WriteFileBytes(dir / "f1", "longer");  // stored again just now: newest
  testing::WriteFileBytes(dir / "g", "x");
  const Listing merged = WithStoredFiles(two, dir.string(), {"f1", "g", ".hidden"}, 3);
  std::vector<std::string> names;
  for (const StoredFile& file : merged.files) names.push_back(file.name);
  EXPECT_TRUE((names == std::vector<std::string>{"f1", "g", "f3"} || names == std::vector<std::string>{"g", "f1", "f3"}))
      << names[0] << names[1];
  EXPECT_EQ(merged.files.front().size == 6 || merged.files[1].size == 6, true);
  EXPECT_TRUE(merged.next);
}

TEST(LingerPoolTest, HoldsAtMostItsCapacityAndClosesWhenDoneOrLate) {
  namespace asio = boost::asio;
  asio::io_context ioc;
  auto work = asio::make_work_guard(ioc);
  std::thread runner([&] { ioc.run(); });
  LingerPool pool(ioc, 2, milliseconds(500));
  asio::ip::tcp::acceptor acceptor(ioc, {asio::ip::make_address("127.0.0.1"), 0});
  const int port = acceptor.local_endpoint().port();
  std::vector<int> clients;
  std::vector<bool> adopted;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(testing::ConnectFrom("127.0.0.1", port, 5));
    asio::ip::tcp::socket server_side = acceptor.accept();
    adopted.push_back(pool.Adopt(std::move(server_side), "HTTP/1.1 503 Busy\r\n\r\n"));
  }
  EXPECT_EQ(adopted, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(pool.size(), 2u);
  for (const int fd : clients) {
    // Every client reads the answer, then the end (the server half-closed).
    const testing::HttpAnswer answer = testing::ReadAnswer(fd);
    EXPECT_EQ(answer.status, 503);
  }
  ::close(clients[0]);  // drained to its end: leaves the pool at once
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (pool.size() > 1 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(pool.size(), 1u);
  while (pool.size() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(pool.size(), 0u) << "the silent client is dropped after the linger time";
  pool.Close();
  work.reset();
  runner.join();
  ::close(clients[1]);
  ::close(clients[2]);
}

// One client's many tasks delay another's by at most one per turn; each
// client's tasks keep their order.
TEST(FairTaskQueueTest, ClientsTakeTurns) {
  FairTaskQueue queue;
  std::vector<std::string> ran;
  for (int i = 0; i < 5; ++i) queue.Push("flood", [&ran, i] { ran.push_back(Numbered("f", i)); });
  queue.Push("ann", [&ran] { ran.push_back("ann"); });
  queue.Push("bob", [&ran] { ran.push_back("bob1"); });
  queue.Push("bob", [&ran] { ran.push_back("bob2"); });
  EXPECT_EQ(queue.size(), 8u);
  while (std::optional<FairTaskQueue::Task> task = queue.Pop()) (*task)();
  EXPECT_EQ(ran, (std::vector<std::string>{"f0", "ann", "bob1", "f1", "bob2", "f2", "f3", "f4"}));
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_FALSE(queue.Pop());
}

}  // namespace
}  // namespace zimrax::zmfile
