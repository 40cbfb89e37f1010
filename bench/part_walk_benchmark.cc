// Walking every part against naming the fields, on the same body in the
// same run: a 64 MiB file part (random, CR LF or near-boundary data) among
// 20 plain fields, fed in 64 KiB pieces. The named run stores the file
// field and reads the 20 values through FormStream; the walk stores every
// part with a file name and reads the others through PartStream.
// ratio_walk_vs_named is the named run's time over the walk's (1.0: as
// fast). Each run stores into an empty directory.
//
//   build/release/bench/part_walk_benchmark [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "hostile_bodies.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_stream.h"
#include "zimrax/part_stream.h"

namespace zimrax {
namespace {

namespace fs = std::filesystem;
using hostile::Body;

constexpr std::size_t kSize = std::size_t{64} << 20;
constexpr std::size_t kPiece = std::size_t{64} << 10;
constexpr int kValues = 20;
const std::string kToken = "------------------------d74496d66958873e";

enum class Kind { kRandom, kCrLf, kNearBoundary };

Body MakeBody(Kind kind) {
  Body data;
  switch (kind) {
    case Kind::kRandom:
      data = hostile::RandomBytes(kSize, 11);
      break;
    case Kind::kCrLf:
      data.resize(kSize);
      for (std::size_t i = 0; i < kSize; ++i) data[i] = i % 2 == 0 ? '\r' : '\n';
      break;
    case Kind::kNearBoundary:
      data = hostile::NearBoundaries(kToken, kSize);
      break;
  }
  Body body;
  const std::string delimiter = "--" + kToken;
  for (int i = 0; i < kValues; ++i) {
    const std::string number = std::to_string(i);
    std::string section = delimiter;
    section.append("\r\n").append(hostile::kDisposition).append("v").append(number);
    section.append("\"\r\n\r\nvalue ").append(number).append("\r\n");
    hostile::Append(body, section);
  }
  std::string file_header = delimiter;
  file_header.append("\r\n").append(hostile::kDisposition).append("f\"; filename=\"big.bin\"\r\n");
  file_header.append("Content-Type: application/octet-stream\r\n\r\n");
  hostile::Append(body, file_header);
  body.insert(body.end(), data.begin(), data.end());
  hostile::Append(body, "\r\n" + delimiter + "--\r\n");
  return body;
}

template <typename Stream>
void FeedAll(Stream& stream, const Body& body) {
  for (std::size_t at = 0; at < body.size(); at += kPiece) {
    stream.Feed(std::span(body).subspan(at, std::min(kPiece, body.size() - at)));
  }
}

double Named(const Body& body, const fs::path& dir) {
  const auto start = std::chrono::steady_clock::now();
  FormStreamOptions options;
  options.directory = dir.string();
  options.file_fields = {"f"};
  for (int i = 0; i < kValues; ++i) {
    std::string name = "v";
    name.append(std::to_string(i));
    options.value_fields.push_back({std::move(name), 4096});
  }
  FormStream stream(std::move(options));
  FeedAll(stream, body);
  if (!stream.Finish(ConflictPolicy::kOverwrite).files[0].result.ok()) std::abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class StoreFiles final : public PartHandler {
  PartDecision OnPart(const PartInfo& part) override {
    return part.file_name ? PartDecision::Store() : PartDecision::Read(4096);
  }
};

double Walked(const Body& body, const fs::path& dir) {
  const auto start = std::chrono::steady_clock::now();
  StoreFiles handler;
  PartStreamOptions options;
  options.directory = dir.string();
  PartStream stream(std::move(options), &handler);
  FeedAll(stream, body);
  const PartStreamOutcome outcome = stream.Finish(ConflictPolicy::kOverwrite);
  if (outcome.parts.size() != kValues + 1 || !outcome.parts.back().result.ok()) std::abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_WalkVsNamed(benchmark::State& state, Kind kind) {
  const Body body = MakeBody(kind);
  testing::ScopedTempDir dir;
  double named = 0, walked = 0;
  for (auto _ : state) {
    // Each run stores into an empty directory: no replace is timed.
    for (const char* run : {"named", "walked"}) {
      fs::remove_all(dir.path() / run);
      fs::create_directory(dir.path() / run);
    }
    named += Named(body, dir.path() / "named");
    walked += Walked(body, dir.path() / "walked");
  }
  const double bytes = static_cast<double>(body.size()) * static_cast<double>(state.iterations());
  state.counters["named_GBps"] = bytes / named / 1e9;
  state.counters["walk_GBps"] = bytes / walked / 1e9;
  state.counters["ratio_walk_vs_named"] = named / walked;
}

BENCHMARK_CAPTURE(BM_WalkVsNamed, random, Kind::kRandom)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WalkVsNamed, crlf, Kind::kCrLf)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WalkVsNamed, near_boundary, Kind::kNearBoundary)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zimrax

BENCHMARK_MAIN();
