// FindBytes over 256 MiB of random bytes, looking for a 40-byte pattern
// shaped like a multipart delimiter line, against glibc memmem over the same
// data in the same run. Reports FindBytes' throughput (bytes_per_second) and
// ratio_vs_memmem = memmem time / FindBytes time (1.0: as fast as memmem).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "scanner/find_bytes.h"

namespace zimrax {
namespace {

constexpr std::size_t kDataSize = std::size_t{256} << 20;
constexpr std::string_view kPattern = "\r\n------WebKitFormBoundary7MA4YWxkTrZu0g";
static_assert(kPattern.size() == 40);

ByteView PatternBytes() { return {reinterpret_cast<const std::uint8_t*>(kPattern.data()), kPattern.size()}; }

// Random bytes, made once and shared by every benchmark of the run.
std::vector<std::uint8_t>& RandomData() {
  static std::vector<std::uint8_t>* data = [] {
    auto* bytes = new std::vector<std::uint8_t>(kDataSize);
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i < kDataSize; i += 8) {
      const std::uint64_t word = random();
      std::memcpy(bytes->data() + i, &word, 8);
    }
    return bytes;
  }();
  return *data;
}

enum Placement : int { kAbsent = 0, kAtEnd = 1 };

// state.range(0): whether the pattern is absent or fills the last 40 bytes.
void BM_FindBytesVsMemmem(benchmark::State& state) {
  std::vector<std::uint8_t>& data = RandomData();
  const ByteView pattern = PatternBytes();
  std::uint8_t* tail = data.data() + data.size() - pattern.size();
  std::memcpy(tail, pattern.data(), pattern.size());
  if (state.range(0) == kAbsent) tail[pattern.size() - 1] ^= 0xFF;
  const Position expected = state.range(0) == kAtEnd ? SizeOf(data) - SizeOf(pattern) : 0;

  using Clock = std::chrono::steady_clock;
  double find_seconds = 0;
  double memmem_seconds = 0;
  std::int64_t round = 0;
  for (auto _ : state) {
    // Alternate the order so that neither search always runs on warm caches.
    double find_time = 0, memmem_time = 0;
    for (int step = 0; step < 2; ++step) {
      const auto begin = Clock::now();
      if ((step == 0) == (round % 2 == 0)) {
        const Checked<Position> found = FindBytes(data, pattern, 1);
        benchmark::DoNotOptimize(found);
        find_time = std::chrono::duration<double>(Clock::now() - begin).count();
        if (!found.ok() || found.value != expected) state.SkipWithError("FindBytes gave a wrong answer");
      } else {
        const void* found = memmem(data.data() + 1, data.size() - 1, pattern.data(), pattern.size());
        benchmark::DoNotOptimize(found);
        memmem_time = std::chrono::duration<double>(Clock::now() - begin).count();
        const Position at = found == nullptr ? 0 : static_cast<const std::uint8_t*>(found) - data.data();
        if (at != expected) state.SkipWithError("memmem gave a wrong answer");
      }
    }
    state.SetIterationTime(find_time);
    find_seconds += find_time;
    memmem_seconds += memmem_time;
    ++round;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
  state.counters["ratio_vs_memmem"] = find_seconds > 0 ? memmem_seconds / find_seconds : 0;
  // Base 1024, as bytes_per_second is printed.
  state.counters["memmem_bytes_per_second"] = benchmark::Counter(
      memmem_seconds > 0 ? static_cast<double>(state.iterations()) * static_cast<double>(data.size()) / memmem_seconds
                         : 0,
      benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
  state.SetLabel(state.range(0) == kAtEnd ? "pattern at the end" : "pattern absent");
}

BENCHMARK(BM_FindBytesVsMemmem)
    ->ArgName("at_end")
    ->Arg(kAbsent)
    ->Arg(kAtEnd)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
}  // namespace zimrax

BENCHMARK_MAIN();
