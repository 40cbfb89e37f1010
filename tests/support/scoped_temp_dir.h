// A fresh directory for one test, removed with everything in it afterwards,
// and whole-file reads and writes: the one temporary-directory class and
// file helpers of the tests.
#ifndef ZIMRAX_TESTS_SUPPORT_SCOPED_TEMP_DIR_H_
#define ZIMRAX_TESTS_SUPPORT_SCOPED_TEMP_DIR_H_

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

namespace zimrax::testing {

class ScopedTempDir {
 public:
  // Made in `base`, by default the system's temporary directory. Throws
  // std::system_error when it cannot be made, so a test never goes on with
  // an empty path (GoogleTest reports the exception as a failure).
  explicit ScopedTempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::string pattern = (base / "zimrax-test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
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
