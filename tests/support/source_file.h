// Files of the source tree, such as the sample bodies in samples/. Needs
// ZIMRAX_TEST_SOURCE_DIR, the source directory, defined by the build.
#ifndef ZIMRAX_TESTS_SUPPORT_SOURCE_FILE_H_
#define ZIMRAX_TESTS_SUPPORT_SOURCE_FILE_H_

#include <string>
#include <string_view>

#include "support/scoped_temp_dir.h"

namespace zimrax::testing {

// The path of `relative_path` (e.g. "samples/worked_example.txt").
inline std::string SourcePath(std::string_view relative_path) {
  return std::string(ZIMRAX_TEST_SOURCE_DIR) + "/" + std::string(relative_path);
}

// Its whole content; "" when it cannot be read.
inline std::string ReadSourceFile(std::string_view relative_path) { return ReadFile(SourcePath(relative_path)); }

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_SOURCE_FILE_H_
