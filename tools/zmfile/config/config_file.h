// A config file of zmfile serve: TOML whose top-level keys are the long
// options of the command line without their dashes. This reads the file
// and says what each key holds; it knows nothing of the options.
#ifndef ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_FILE_H_
#define ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_FILE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zimrax::zmfile {

// Far beyond any real config file, and small enough that parsing one never
// takes long: the parser's time grows with the square of the values (1,000
// keys take a tenth of a second). Arrays and inline tables nest no deeper
// than kConfigMaxNesting.
inline constexpr std::size_t kConfigMaxBytes = std::size_t{64} << 10;
inline constexpr std::size_t kConfigMaxValues = 1000;
inline constexpr int kConfigMaxNesting = 8;

enum class ConfigValueKind { kBoolean, kNumber, kText };

struct ConfigValue {
  ConfigValueKind kind;
  std::string text;  // as the command line would spell it: "true", "8080", "0.5", "./uploads"
};

struct ConfigSetting {
  std::string key;
  std::size_t line = 0;  // 1-based line of the value
  bool is_array = false;
  std::vector<ConfigValue> values;  // one, or an array's items in order
};

// The file's settings in the order of their lines. Returns nullopt with
// *error set ("FILE:LINE: why", or "FILE: why" when no line is at fault)
// when the file cannot be read, is larger than kConfigMaxBytes, holds more
// than kConfigMaxValues values, nests too deeply, is not TOML (bytes that are not UTF-8 included), or gives a key a
// table, a date or an array of arrays.
std::optional<std::vector<ConfigSetting>> ReadConfigFile(const std::string& path, std::string* error);

// The same for text already read; `path` only names it in messages.
std::optional<std::vector<ConfigSetting>> ParseConfigText(std::string_view text, const std::string& path,
                                                          std::string* error);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_FILE_H_
