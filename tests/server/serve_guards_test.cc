// The server's guards against floods, on their own: the descriptor budget,
// admission at accept, the sign-in throttle, the target and expectation
// checks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/beast/http/fields.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/body_buffer_budget.h"
#include "server/connection_admission.h"
#include "server/descriptor_budget.h"
#include "server/request_target.h"
#include "server/sign_in_throttle.h"
#include "server_process.h"
#include "support/numbered.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using testing::Numbered;

TEST(DescriptorBudgetTest, SharesWhatIsLeftAfterEveryConnectionsFirstFile) {
  // 8192 (the unit's limit) for 512 connections: 64 + 3 * 512 promised.
  DescriptorBudget budget(8192, 512);
  EXPECT_EQ(budget.extra_files_left(), 8192 - 64 - 3 * 512);
  EXPECT_TRUE(budget.holds_reserve());
  DescriptorBudget small(64 + 3 * 10 + 2, 10);
  EXPECT_TRUE(small.TryTakeExtraFile());
  EXPECT_TRUE(small.TryTakeExtraFile());
  EXPECT_FALSE(small.TryTakeExtraFile());
  small.GiveBackExtraFiles(1);
  EXPECT_TRUE(small.TryTakeExtraFile());
  // Threads racing for the last places never take more than there are.
  DescriptorBudget raced(64 + 3 + 1000, 1);
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 400; ++i) taken += raced.TryTakeExtraFile();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), 1000);
  // The reserve is a real descriptor: released, one more can be opened.
  small.ReleaseReserve();
  EXPECT_FALSE(small.holds_reserve());
  small.RestoreReserve();
  EXPECT_TRUE(small.holds_reserve());
}

TEST(DescriptorBudgetTest, EachUploadsFirstFileIsPromisedAndTheRestGivenBack) {
  DescriptorBudget budget(64 + 3 * 2 + 3, 2);  // three extra files in all
  {
    auto first = FileGateForOneUpload(budget);
    auto second = FileGateForOneUpload(budget);
    EXPECT_TRUE(first());   // promised
    EXPECT_TRUE(first());   // extra 1
    EXPECT_TRUE(first());   // extra 2
    EXPECT_TRUE(second());  // promised, though the shared part is nearly gone
    EXPECT_TRUE(second());  // extra 3
    EXPECT_FALSE(second());
    EXPECT_FALSE(first());
    EXPECT_EQ(budget.extra_files_left(), 0);
    auto copy = first;  // a stream holds a copy: given back only when all are gone
    first = nullptr;
    EXPECT_EQ(budget.extra_files_left(), 0);
  }
  EXPECT_EQ(budget.extra_files_left(), 3);
}

TEST(DescriptorBudgetTest, WarnsOnlyWhenTheLimitCannotHoldOneFileAnUpload) {
  EXPECT_EQ(DescriptorBudget::WarningFor(8192, 512), "");
  EXPECT_EQ(DescriptorBudget::WarningFor(64 + 3 * 512, 512), "");
  EXPECT_NE(DescriptorBudget::WarningFor(64 + 3 * 512 - 1, 512).find("cannot hold --max-connections 512"),
            std::string::npos);
  // The unit's LimitNOFILE is what the budget suggests for the default 512.
  EXPECT_EQ(DescriptorBudget::SuggestedLimit(512), 8192);
  for (const int connections : {1, 16, 512, 5000}) {
    EXPECT_EQ(DescriptorBudget::WarningFor(DescriptorBudget::SuggestedLimit(connections), connections), "");
  }
}

// Uploads on many threads take and give back large buffers at once: no
// more than the limit are ever lent, and all are back at the end.
TEST(BodyBufferBudgetTest, NeverLendsMoreThanItsLimit) {
  constexpr int kLimit = 3;
  BodyBufferBudget budget(kLimit);
  std::atomic<int> most_lent{0};
  std::atomic<int> lent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (!budget.TryTake()) continue;
        ++lent;
        const int now = budget.taken();
        for (int seen = most_lent; now > seen && !most_lent.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::yield();
        budget.GiveBack();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_GT(lent.load(), 0);
  EXPECT_LE(most_lent.load(), kLimit);
  EXPECT_EQ(budget.taken(), 0);
  for (int i = 0; i < kLimit; ++i) EXPECT_TRUE(budget.TryTake());
  EXPECT_FALSE(budget.TryTake());
  budget.GiveBack();
  EXPECT_TRUE(budget.TryTake());
}

TEST(AcceptRateLimiterTest, FollowsATokenBucketPerAddress) {
  AcceptRateLimiter limiter(10, 5);  // 10 a second, 5 saved up
  const auto a = boost::asio::ip::make_address("127.0.0.2");
  const auto b = boost::asio::ip::make_address("127.0.0.3");
  const Clock::time_point start = Clock::now();
  // A model bucket beside it: 500 connection attempts at 500 a second.
  double model = 5;
  int accepted = 0;
  for (int i = 0; i < 500; ++i) {
    const Clock::time_point now = start + milliseconds(2 * i);
    if (i > 0) model = std::min(5.0, model + 0.002 * 10);
    const bool expected = model >= 1 - 1e-9;
    if (expected) model -= 1;
    const bool got = limiter.TryAccept(a, now);
    ASSERT_EQ(got, expected) << i;
    accepted += got;
  }
  EXPECT_EQ(accepted, 5 + 9);  // the burst, then 10 a second over 0.998 s
  EXPECT_TRUE(limiter.TryAccept(b, start + milliseconds(999))) << "another address has its own bucket";
  EXPECT_EQ(limiter.tracked(), 2u);
}

TEST(AcceptRateLimiterTest, ForgetsAddressesRatherThanGrowing) {
  AcceptRateLimiter limiter(1, 1);
  const Clock::time_point now = Clock::now();
  for (unsigned i = 0; i < AcceptRateLimiter::kMaxTracked + 100; ++i) {
    boost::asio::ip::address_v4::bytes_type bytes{10, static_cast<unsigned char>(i >> 16),
                                                  static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
    limiter.TryAccept(boost::asio::ip::address_v4(bytes), now);
  }
  EXPECT_LE(limiter.tracked(), AcceptRateLimiter::kMaxTracked);
}

TEST(AdmissionTest, RateThenAddressThenHandshakes) {
  struct Case {
    bool rate;
    int open, max_per_address;
    bool tls;
    int handshakes, cap;
    Admission expected;
  };
  const Case cases[] = {
      {true, 0, 16, false, 0, 1, Admission::kServe},
      {true, 15, 16, true, 127, 128, Admission::kServe},
      {false, 0, 16, false, 0, 128, Admission::kOverRate},
      {false, 99, 16, true, 999, 128, Admission::kOverRate},
      {true, 16, 16, false, 0, 128, Admission::kOverAddress},
      {true, 16, 16, true, 999, 128, Admission::kOverAddress},
      {true, 3, 16, true, 128, 128, Admission::kOverHandshakes},
      {true, 3, 16, false, 999, 128, Admission::kServe},  // plain connections have no handshake
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Admit(c.rate, c.open, c.max_per_address, c.tls, c.handshakes, c.cap), c.expected)
        << c.rate << " " << c.open << " " << c.tls << " " << c.handshakes;
  }
  EXPECT_EQ(HandshakeCapFor(512), 128);
  EXPECT_EQ(HandshakeCapFor(2), 1);
  EXPECT_EQ(HandshakeTimeFor(10), std::chrono::seconds(3));
  EXPECT_EQ(HandshakeTimeFor(2), std::chrono::seconds(2));
}

TEST(SignInThrottleTest, BackoffDoublesPastTheFreeFailuresAndSuccessClearsIt) {
  FailureBackoff backoff({2, milliseconds(100), milliseconds(350)});
  const Clock::time_point t = Clock::now();
  const std::vector<milliseconds> waits = {milliseconds(0), milliseconds(0), milliseconds(100), milliseconds(200),
                                           milliseconds(350), milliseconds(350)};
  for (std::size_t i = 0; i < waits.size(); ++i) {
    backoff.Failed("k", t);
    const auto wait = backoff.WaitFor("k", t);
    EXPECT_EQ(wait.value_or(Clock::duration::zero()), waits[i]) << "after failure " << i + 1;
    if (wait) {
      EXPECT_FALSE(backoff.WaitFor("k", t + waits[i])) << "free again once waited";
    }
  }
  EXPECT_FALSE(backoff.WaitFor("other", t));
  EXPECT_FALSE(backoff.WaitFor("k", t + FailureBackoff::kForgetAfter));
  backoff.Succeeded("k");
  backoff.Failed("k", t);
  EXPECT_FALSE(backoff.WaitFor("k", t)) << "a success starts the count over";
}

TEST(SignInThrottleTest, ThrottlesByAddressAndByUserAndSharesHashPlaces) {
  SignInThrottle throttle(64);
  const Clock::time_point t = Clock::now();
  for (int i = 0; i < 5; ++i) throttle.Failed("10.0.0.1", Numbered("user", i), t);
  EXPECT_FALSE(throttle.WaitFor("10.0.0.1", "ann", t)) << "5 failures are free";
  throttle.Failed("10.0.0.1", "bob", t);
  EXPECT_TRUE(throttle.WaitFor("10.0.0.1", "ann", t)) << "the address waits";
  EXPECT_FALSE(throttle.WaitFor("10.0.0.2", "ann", t)) << "other addresses do not";
  // One user name attacked from many addresses waits too, but briefly.
  for (int i = 0; i < 11; ++i) throttle.Failed(Numbered("10.1.0.", i), "carl", t);
  const auto carl = throttle.WaitFor("10.2.0.1", "carl", t);
  ASSERT_TRUE(carl);
  EXPECT_LE(*carl, SignInThrottle::kPerUser.longest_wait);
  throttle.Succeeded("10.2.0.1", "carl");
  EXPECT_FALSE(throttle.WaitFor("10.2.0.1", "carl", t));

  EXPECT_EQ(throttle.places_per_address(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_TRUE(throttle.TryTakeHashPlace("10.0.0.9"));
  EXPECT_FALSE(throttle.TryTakeHashPlace("10.0.0.9"));
  EXPECT_TRUE(throttle.TryTakeHashPlace("10.0.0.8"));
  throttle.GiveBackHashPlace("10.0.0.9");
  EXPECT_TRUE(throttle.TryTakeHashPlace("10.0.0.9"));
  EXPECT_EQ(SignInThrottle(1).places_per_address(), 1);
}

TEST(RequestTargetTest, AbsoluteFormForThisServerOnly) {
  const std::vector<WebOrigin> own = {{"http", "127.0.0.1", 8080}, {"http", "localhost", 8080},
                                      {"https", "files.example.org", 443}};
  struct Case {
    std::string target;
    std::string origin_form;  // "" when refused
    int status;
  };
  const Case cases[] = {
      {"/upload", "/upload", 0},
      {"/files?limit=1", "/files?limit=1", 0},
      {"http://127.0.0.1:8080/upload", "/upload", 0},
      {"HTTP://LOCALHOST:8080/files?limit=2", "/files?limit=2", 0},
      {"http://127.0.0.1:8080", "/", 0},
      {"http://127.0.0.1:8080?x=1", "/?x=1", 0},
      {"https://files.example.org/upload", "/upload", 0},
      {"http://files.example.org/upload", "", 421},  // the scheme is part of the authority
      {"http://127.0.0.1:8081/upload", "", 421},
      {"http://evil.example/upload", "", 421},
      {"http://user@127.0.0.1:8080/upload", "", 421},
      {"127.0.0.1:8080", "", 400},
      {"*", "", 400},
  };
  for (const Case& c : cases) {
    const OriginFormTarget result = OriginFormOf(c.target, own);
    EXPECT_EQ(result.target, c.origin_form) << c.target;
    EXPECT_EQ(result.refusal ? result.refusal->status : 0, c.status) << c.target;
  }
}

TEST(RequestTargetTest, OnlyTheContinueExpectationIsMet) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{}, 0}, {{"100-continue"}, 0}, {{"100-Continue "}, 0}, {{"100-continue", "100-continue"}, 0},
      {{"200-ok"}, 417}, {{""}, 417}, {{"100-continue", "x"}, 417}, {{"100-continue; a=b"}, 417},
  };
  for (const auto& [values, status] : cases) {
    boost::beast::http::fields headers;
    for (const std::string& value : values) headers.insert(boost::beast::http::field::expect, value);
    const std::optional<Refusal> refusal = CheckExpectation(headers);
    EXPECT_EQ(refusal ? refusal->status : 0, status) << values.size();
  }
}

}  // namespace
}  // namespace zimrax::zmfile
