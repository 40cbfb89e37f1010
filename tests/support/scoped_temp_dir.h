// A fresh directory for one test, removed with everything in it afterwards.
#ifndef ZIMRAX_TESTS_SUPPORT_SCOPED_TEMP_DIR_H_
#define ZIMRAX_TESTS_SUPPORT_SCOPED_TEMP_DIR_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>

namespace zimrax::testing {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zimrax-test.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string Path(std::string_view name = {}) const { return name.empty() ? path_.string() : (path_ / name).string(); }

  // Every entry directly in the directory, hidden ones included.
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) names.insert(entry.path().filename());
    return names;
  }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_SCOPED_TEMP_DIR_H_
