// Library version: file and product version 1.0.0.0 ("1.00").
#ifndef ZIMRAX_VERSION_H_
#define ZIMRAX_VERSION_H_

#include <string_view>

namespace zimrax {

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionPatch = 0;
inline constexpr int kVersionBuild = 0;
inline constexpr std::string_view kVersionString = "1.0.0.0";

}  // namespace zimrax

#endif  // ZIMRAX_VERSION_H_
