// zmfile serve's --max-body, read back from a running server: a number of
// bytes, or of binary K, M or G.
#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "server_process.h"

namespace zimrax::testing {
namespace {

TEST(ZmfileServeOptionsTest, MaxBodyTakesBinarySuffixes) {
  const struct {
    std::string given;
    std::uint64_t bytes;
  } kCases[] = {
      {"5000", 5000},
      {"1K", 1024},
      {"3m", 3u << 20},
      {"1G", 1u << 30},
      {"2047M", 2047ull << 20},
      {"8G", 8ull << 30},  // bodies are streamed: no 2 GiB ceiling
  };
  for (const auto& c : kCases) {
    TempDir root;
    ServerProcess server(root.path() / "uploads", {"--max-body", c.given}, root.path() / "server.log");
    ASSERT_TRUE(server.ok()) << c.given << ": " << server.Log();
    const CommandResult config = RunCommand({"curl", "-sS", "--max-time", "20", server.Url("/config")});
    ASSERT_EQ(config.exit_status, 0) << c.given;
    EXPECT_EQ(nlohmann::json::parse(config.out).at("maxBody").get<std::uint64_t>(), c.bytes) << c.given;
    EXPECT_EQ(server.Interrupt(), 0) << server.Log();
  }
}

}  // namespace
}  // namespace zimrax::testing
