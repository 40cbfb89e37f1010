// Time per byte of each hostile body against a body of the same size whose
// payload is random data, both run in the same iteration of the same
// process. Counters:
//   hostile_ns_per_byte  the hostile body
//   random_ns_per_byte   the random-data body of the same size
//   ratio                hostile / random (the target is at most 2)
// The reported time is the hostile body's. Sizes: ZIMRAX_HOSTILE_MIB
// mebibytes for the large bodies (default 200).
//
// Saves write into a memory file system where there is one (/dev/shm), so
// that the disk's own speed does not blur the comparison.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "hostile_bodies.h"
#include "zimrax/form_data.h"
#include "zimrax/form_stream.h"

namespace zimrax {
namespace {

namespace fs = std::filesystem;
using hostile::Body;

constexpr char kCurlToken[] = "------------------------d74496d66958873e";

std::size_t LargeSize() {
  const char* mib = std::getenv("ZIMRAX_HOSTILE_MIB");
  return static_cast<std::size_t>(mib != nullptr ? std::atoll(mib) : 200) << 20;
}

fs::path BaseDir() {
  std::error_code error;
  if (fs::is_directory("/dev/shm", error) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

// A fresh directory for one benchmark, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (BaseDir() / "zimrax-bench.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  void Empty() const {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(path_, ignored)) fs::remove(entry.path(), ignored);
  }

 private:
  fs::path path_;
};

// One call: its ErrorCode, or minus its fault number.
using Call = std::function<int()>;

int ValueCall(const Body& body, const std::string& name) {
  const OperationResult result = FormFieldValue(body, name);
  benchmark::DoNotOptimize(result.text.data());
  return result.faulted() ? -static_cast<int>(result.fault) : result.code;
}

int SaveCall(const Body& body, const std::string& name, const fs::path& dir, const char* policy = "error") {
  const OperationResult result = FileSave(body, name, dir.string(), ParseConflictPolicy(policy));
  return result.faulted() ? -static_cast<int>(result.fault) : result.code;
}

// The same calls through FormStream, fed 64 KiB at a time.
int StreamCall(const Body& body, const std::string& name, const fs::path* dir) {
  FormStreamOptions options;
  if (dir != nullptr) {
    options.directory = dir->string();
    options.file_fields = {name};
    options.policy = ConflictPolicy::kError;
  } else {
    options.value_fields = {{name, body.size()}};
  }
  FormStream stream(std::move(options));
  constexpr std::size_t kPiece = std::size_t{64} << 10;
  for (std::size_t done = 0; done < body.size(); done += kPiece) {
    stream.Feed(std::span<const std::uint8_t>(body).subspan(done, std::min(kPiece, body.size() - done)));
  }
  const FormStreamOutcome outcome = stream.Finish();
  const OperationResult& result = dir != nullptr ? outcome.files.at(0).result : outcome.values.at(0).result;
  benchmark::DoNotOptimize(result.text.data());
  return result.faulted() ? -static_cast<int>(result.fault) : result.code;
}

double Seconds(const Call& call, int expected, benchmark::State& state) {
  const auto start = std::chrono::steady_clock::now();
  const int ending = call();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (ending != expected) {
    state.SkipWithError(("unexpected ending " + std::to_string(ending)).c_str());
  }
  return seconds;
}

// Times `hostile` and `random` in turn, each iteration; both read `bytes`.
void Compare(benchmark::State& state, std::size_t bytes, const Call& hostile, int hostile_ending,
             const Call& random, int random_ending, const std::function<void()>& between = [] {}) {
  double hostile_total = 0;
  double random_total = 0;
  for (auto _ : state) {
    const double h = Seconds(hostile, hostile_ending, state);
    between();
    const double r = Seconds(random, random_ending, state);
    between();
    state.SetIterationTime(h);
    hostile_total += h;
    random_total += r;
  }
  const double runs = static_cast<double>(state.iterations()) * static_cast<double>(bytes);
  state.counters["hostile_ns_per_byte"] = hostile_total * 1e9 / runs;
  state.counters["random_ns_per_byte"] = random_total * 1e9 / runs;
  state.counters["ratio"] = hostile_total / random_total;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

// Compares reading (`save` false) or storing (`save` true) field `name` of
// `hostile` against the same of `random`; the hostile call must end with
// `hostile_ending`, the random one with 0.
void CompareStreamed(benchmark::State& state, bool save, const Body& hostile, const Body& random,
                     const std::string& name, int hostile_ending) {
  ScratchDir dir;
  const fs::path* target = save ? &dir.path() : nullptr;
  Compare(
      state, hostile.size(), [&] { return StreamCall(hostile, name, target); }, hostile_ending,
      [&] { return StreamCall(random, name, target); }, 0, [&] { dir.Empty(); });
}

void CompareOperation(benchmark::State& state, bool save, const Body& hostile, const Body& random,
                      const std::string& name, int hostile_ending, bool streamed = false) {
  if (streamed) {
    CompareStreamed(state, save, hostile, random, name, hostile_ending);
    return;
  }
  if (save) {
    ScratchDir dir;
    Compare(
        state, hostile.size(), [&] { return SaveCall(hostile, name, dir.path()); }, hostile_ending,
        [&] { return SaveCall(random, name, dir.path()); }, 0, [&] { dir.Empty(); });
  } else {
    Compare(
        state, hostile.size(), [&] { return ValueCall(hostile, name); }, hostile_ending,
        [&] { return ValueCall(random, name); }, 0);
  }
}

// A body of exactly `size` bytes holding one field `name` (a file field when
// `filename` is set) whose data is random.
Body RandomBody(std::size_t size, const std::string& name, const std::string& filename) {
  const std::size_t frame = hostile::SingleSection(kCurlToken, name, filename, {}).size();
  return hostile::SingleSection(kCurlToken, name, filename, hostile::RandomBytes(size - frame, 42));
}

void BM_NearBoundaries(benchmark::State& state, std::size_t token_index, bool save, bool streamed) {
  const std::string& token = hostile::NearBoundaryTokens()[token_index];
  const std::string name = save ? "f" : "v";
  const std::string filename = save ? "near.bin" : "";
  const Body hostile_body =
      hostile::SingleSection(token, name, filename, hostile::NearBoundaries(token, LargeSize()));
  const Body random_body = RandomBody(hostile_body.size(), name, filename);
  CompareOperation(state, save, hostile_body, random_body, name, 0, streamed);
}

// Data that passes the candidate filter everywhere (see FilterDefeating):
// the search falls back to its linear scan.
void BM_FilterDefeating(benchmark::State& state, bool save, bool streamed) {
  const std::string name = save ? "f" : "v";
  const std::string filename = save ? "near.bin" : "";
  const Body hostile_body =
      hostile::LineSection(hostile::kFilterDefeatingLine, name, filename, hostile::FilterDefeating(LargeSize()));
  const Body random_body = RandomBody(hostile_body.size(), name, filename);
  CompareOperation(state, save, hostile_body, random_body, name, 0, streamed);
}

void BM_TinySections(benchmark::State& state, bool save) {
  const Body hostile_body = hostile::TinySections(100000, "target", save ? "t.bin" : "");
  const Body random_body = RandomBody(hostile_body.size(), "target", save ? "t.bin" : "");
  CompareOperation(state, save, hostile_body, random_body, "target", 0);
}

void BM_NoCrLf(benchmark::State& state, bool save) {
  const Body hostile_body = hostile::WithoutCrLf(LargeSize(), save);
  const Body random_body = RandomBody(hostile_body.size(), "v", save ? "v.bin" : "");
  CompareOperation(state, save, hostile_body, random_body, "v", save ? 103 : 105);
}

// A wanted name of 10 MiB against a small body: per byte of name and body.
void BM_LongWantedName(benchmark::State& state) {
  const std::string name(std::size_t{10} << 20, 'd');
  const Body body = hostile::SingleSection(kCurlToken, "doc", "q3.csv", Body{'1', ',', '2'});
  const Body random_body = RandomBody(body.size() + name.size(), "v", "");
  Compare(
      state, body.size() + name.size(), [&] { return ValueCall(body, name); }, 102,
      [&] { return ValueCall(random_body, "v"); }, 0);
}

// A section whose name is 10 MiB long, passed over on the way to "v".
void BM_LongSectionName(benchmark::State& state) {
  const Body body = hostile::LongSectionName(std::size_t{10} << 20);
  const Body random_body = RandomBody(body.size(), "v", "");
  Compare(
      state, body.size(), [&] { return ValueCall(body, "v"); }, 0, [&] { return ValueCall(random_body, "v"); }, 0);
}

// A file name of 10 MiB: returned by ZmFormFieldValue, refused by the file
// system in ZmFileSave (75), against reading or storing random data of the
// same size.
void BM_LongFileName(benchmark::State& state, bool save) {
  const Body body = hostile::SingleSection(kCurlToken, "f", std::string(std::size_t{10} << 20, 'a'), Body{'x'});
  // The value of a plain field, or a file, of random data of the same size.
  const Body random_body = RandomBody(body.size(), "f", save ? "r.bin" : "");
  CompareOperation(state, save, body, random_body, "f", save ? 75 : 0);
}

// "makeunique" with the name and all 32767 numbered names taken (fault 6),
// against one save of the same body into an empty directory. The ratio here
// is per call, not per byte: what trying every name costs over one save.
void BM_MakeUniqueExhausted(benchmark::State& state) {
  const Body body = hostile::SingleSection(kCurlToken, "f", "r.txt", Body{'n', 'e', 'w'});
  ScratchDir full;
  ScratchDir empty;
  std::ofstream(full.path() / "r.txt") << "0";
  for (int n = 1; n <= 32767; ++n) std::ofstream(full.path() / ("r(" + std::to_string(n) + ").txt")) << "0";
  Compare(
      state, 1, [&] { return SaveCall(body, "f", full.path(), "makeunique"); }, -6,
      [&] { return SaveCall(body, "f", empty.path(), "makeunique"); }, 0, [&] { empty.Empty(); });
  state.counters["us_per_name_tried"] = state.counters["hostile_ns_per_byte"] / 32768 / 1e3;
}

void RegisterAll() {
  const char* labels[] = {"curl", "browser", "run_of_one_byte", "run_after_head", "periodic", "long_run"};
  for (std::size_t i = 0; i < hostile::NearBoundaryTokens().size(); ++i) {
    for (const bool save : {false, true}) {
      for (const bool streamed : {false, true}) {
        const std::string name = std::string("NearBoundaries/") + labels[i] + (streamed ? "/stream" : "") +
                                 (save ? "/save" : "/value");
        benchmark::RegisterBenchmark(name.c_str(), BM_NearBoundaries, i, save, streamed)
            ->UseManualTime()
            ->Iterations(3);
      }
    }
  }
  for (const bool save : {false, true}) {
    const std::string suffix = save ? "/save" : "/value";
    benchmark::RegisterBenchmark(("FilterDefeating" + suffix).c_str(), BM_FilterDefeating, save, false)
        ->UseManualTime()
        ->Iterations(3);
    benchmark::RegisterBenchmark(("FilterDefeating/stream" + suffix).c_str(), BM_FilterDefeating, save, true)
        ->UseManualTime()
        ->Iterations(3);
    benchmark::RegisterBenchmark(("TinySections" + suffix).c_str(), BM_TinySections, save)
        ->UseManualTime()
        ->Iterations(20);
    benchmark::RegisterBenchmark(("NoCrLf" + suffix).c_str(), BM_NoCrLf, save)->UseManualTime()->Iterations(3);
    benchmark::RegisterBenchmark(("LongFileName" + suffix).c_str(), BM_LongFileName, save)
        ->UseManualTime()
        ->Iterations(10);
  }
  benchmark::RegisterBenchmark("LongWantedName/value", BM_LongWantedName)->UseManualTime()->Iterations(10);
  benchmark::RegisterBenchmark("LongSectionName/value", BM_LongSectionName)->UseManualTime()->Iterations(10);
  benchmark::RegisterBenchmark("MakeUniqueExhausted/save", BM_MakeUniqueExhausted)->UseManualTime()->Iterations(5);
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
