// Runs a fuzz target's LLVMFuzzerTestOneInput over saved inputs without
// libFuzzer, so that seed corpora and the inputs of past findings replay as
// ordinary tests in every build. Arguments are files or directories (whose
// regular files are all replayed, hidden ones excepted). Exits non-zero when an argument cannot be
// read or nothing was replayed; a finding aborts, as under the fuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool Replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An exactly sized copy, so that a read past the end is caught by ASan.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
        if (!Replay(entry.path())) return 2;
        ++replayed;
      }
    } else {
      if (!Replay(path)) {
        std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
        return 2;
      }
      ++replayed;
    }
  }
  std::printf("replay: %d inputs\n", replayed);
  return replayed > 0 ? 0 : 3;
}
