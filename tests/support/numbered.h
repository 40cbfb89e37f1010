// Names with a number in them ("file-7.txt"), for tests that make many.
#ifndef ZIMRAX_TESTS_SUPPORT_NUMBERED_H_
#define ZIMRAX_TESTS_SUPPORT_NUMBERED_H_

#include <string>

namespace zimrax::testing {

// prefix + n + suffix, without operator+ (g++ 12 warns falsely on
// "text" + std::to_string).
inline std::string Numbered(const char* prefix, long n, const char* suffix = "") {
  return std::string(prefix).append(std::to_string(n)).append(suffix);
}

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_NUMBERED_H_
