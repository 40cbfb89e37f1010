// ASCII case folding for names and policy texts; other bytes are unchanged.
#ifndef ZIMRAX_BASE_ASCII_CASE_H_
#define ZIMRAX_BASE_ASCII_CASE_H_

#include <algorithm>
#include <string>
#include <string_view>

namespace zimrax {

inline char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return ToLowerAscii(x) == ToLowerAscii(y); });
}

inline std::string ToLowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return ToLowerAscii(c); });
  return text;
}

}  // namespace zimrax

#endif  // ZIMRAX_BASE_ASCII_CASE_H_
