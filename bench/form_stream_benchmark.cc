// FormStream storing the file of a 256 MiB body fed in pieces, against the
// limit of writing the same data bytes with plain 64 KiB write() calls, in
// the same run: ratio_vs_limit is the limit's time over the stream's (1.0
// means as fast as the bare write). The pieces come from a buffer already
// in memory (limit: write() from it), or by read() from a file holding the
// body (limit: read() and write() of the data, as cat copies it). A second group
// gives the cost per byte of feeding 1-byte and 1,500-byte pieces.
//
//   build/release/bench/form_stream_benchmark [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "hostile_bodies.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_data.h"
#include "zimrax/form_stream.h"

namespace zimrax {
namespace {

namespace fs = std::filesystem;
using hostile::Body;

constexpr std::size_t kLarge = std::size_t{256} << 20;
constexpr std::size_t kPiece = std::size_t{64} << 10;
const std::string kToken = "------------------------d74496d66958873e";
// What follows the data in a SingleSection body: CR LF "--" token "--" CR LF.
const std::size_t kCloseBytes = 2 + 2 + kToken.size() + 2 + 2;


enum class Kind { kRandom, kCrLf, kNearBoundary };

Body Data(Kind kind, std::size_t size) {
  switch (kind) {
    case Kind::kRandom: return hostile::RandomBytes(size, 11);
    case Kind::kCrLf: {
      Body data(size);
      for (std::size_t i = 0; i < size; ++i) data[i] = i % 2 == 0 ? '\r' : '\n';
      return data;
    }
    case Kind::kNearBoundary: return hostile::NearBoundaries(kToken, size);
  }
  return {};
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The limit: the data bytes into a new file, 64 KiB per write().
double LimitWrite(const Body& data, const fs::path& dir) {
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open((dir / "limit.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, std::min(kPiece, data.size() - done));
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return Since(start);
}

// The limit when the body comes from a file: its data bytes read() and
// written 64 KiB at a time, as `cat` would copy them.
double LimitCopy(const fs::path& file, std::size_t data_offset, std::size_t data_size, const fs::path& dir) {
  static std::uint8_t buffer[kPiece];
  const auto start = std::chrono::steady_clock::now();
  const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open((dir / "limit.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ::lseek(in, static_cast<off_t>(data_offset), SEEK_SET);
  for (std::size_t done = 0; done < data_size;) {
    const ssize_t n = ::read(in, buffer, std::min(kPiece, data_size - done));
    if (n <= 0 || ::write(out, buffer, static_cast<std::size_t>(n)) != n) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(in);
  ::close(out);
  return Since(start);
}

FormStreamOptions SaveOptions(const fs::path& dir) {
  FormStreamOptions options;
  options.directory = dir.string();
  options.file_fields = {"f"};
  options.policy = ConflictPolicy::kOverwrite;
  return options;
}

void Check(const FormStreamOutcome& outcome) {
  if (!outcome.files.at(0).result.ok()) std::abort();
}

// The body fed from memory in pieces of `piece` bytes.
double StreamFromMemory(const Body& body, const fs::path& dir, std::size_t piece) {
  const auto start = std::chrono::steady_clock::now();
  FormStream stream(SaveOptions(dir));
  for (std::size_t done = 0; done < body.size(); done += piece) {
    stream.Feed(std::span<const std::uint8_t>(body).subspan(done, std::min(piece, body.size() - done)));
  }
  Check(stream.Finish());
  return Since(start);
}

// The body fed by read() from `file`, 64 KiB at a time.
double StreamFromFile(const fs::path& file, const fs::path& dir) {
  static std::uint8_t buffer[kPiece];
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  FormStream stream(SaveOptions(dir));
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    stream.Feed(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
  }
  ::close(fd);
  Check(stream.Finish());
  return Since(start);
}

void BM_StreamSave(benchmark::State& state, Kind kind, bool from_file) {
  testing::ScopedTempDir dir;
  const Body data = Data(kind, kLarge);
  const Body body = hostile::SingleSection(kToken, "f", "big.bin", data);
  const fs::path file = dir.path() / "body";
  if (from_file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) std::abort();
    ::close(fd);
  }
  double limit_total = 0;
  double stream_total = 0;
  double whole_total = 0;
  for (auto _ : state) {
    const double limit = from_file ? LimitCopy(file, body.size() - data.size() - kCloseBytes, data.size(), dir.path())
                                   : LimitWrite(data, dir.path());
    const double streamed = from_file ? StreamFromFile(file, dir.path()) : StreamFromMemory(body, dir.path(), kPiece);
    ::unlink((dir.path() / "big.bin").c_str());
    // The whole-body save of the same bytes, for comparison.
    const auto start = std::chrono::steady_clock::now();
    if (!FileSave(body, "f", dir.path().string(), ConflictPolicy::kOverwrite).ok()) std::abort();
    const double whole = Since(start);
    state.SetIterationTime(streamed);
    limit_total += limit;
    stream_total += streamed;
    whole_total += whole;
    ::unlink((dir.path() / "big.bin").c_str());
    ::unlink((dir.path() / "limit.bin").c_str());
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(data.size());
  state.counters["stream_GBps"] = bytes / stream_total / 1e9;
  state.counters["limit_GBps"] = bytes / limit_total / 1e9;
  state.counters["whole_body_GBps"] = bytes / whole_total / 1e9;
  state.counters["ratio_vs_limit"] = limit_total / stream_total;
}

// Cost per byte of small pieces, against one piece of the whole body.
void BM_PieceCost(benchmark::State& state, std::size_t piece) {
  testing::ScopedTempDir dir;
  const Body body = hostile::SingleSection(kToken, "f", "big.bin", Data(Kind::kRandom, std::size_t{16} << 20));
  double small_total = 0;
  double whole_total = 0;
  for (auto _ : state) {
    const double small = StreamFromMemory(body, dir.path(), piece);
    const double whole = StreamFromMemory(body, dir.path(), body.size());
    state.SetIterationTime(small);
    small_total += small;
    whole_total += whole;
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(body.size());
  state.counters["ns_per_byte"] = small_total * 1e9 / bytes;
  state.counters["one_piece_ns_per_byte"] = whole_total * 1e9 / bytes;
  state.counters["ratio_vs_one_piece"] = small_total / whole_total;
}

void RegisterAll() {
  const struct {
    const char* label;
    Kind kind;
  } kKinds[] = {{"random", Kind::kRandom}, {"crlf", Kind::kCrLf}, {"near_boundary", Kind::kNearBoundary}};
  for (const auto& k : kKinds) {
    for (const bool from_file : {false, true}) {
      const std::string name = std::string("StreamSave/") + k.label + (from_file ? "/read" : "/memory");
      benchmark::RegisterBenchmark(name.c_str(), BM_StreamSave, k.kind, from_file)->UseManualTime()->Iterations(5);
    }
  }
  benchmark::RegisterBenchmark("PieceCost/1", BM_PieceCost, std::size_t{1})->UseManualTime()->Iterations(3);
  benchmark::RegisterBenchmark("PieceCost/1500", BM_PieceCost, std::size_t{1500})->UseManualTime()->Iterations(3);
}

}  // namespace
}  // namespace zimrax

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  zimrax::RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
