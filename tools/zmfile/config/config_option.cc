#include "config/config_option.h"

#include <iostream>
#include <optional>
#include <vector>

#include "config/config_apply.h"
#include "config/config_file.h"
#include "exit_status.h"

namespace zimrax::zmfile {
namespace {

// The message on one line of plain text whatever the file held: a key or a
// value may carry line breaks and control bytes (TOML escapes them).
std::string OneLine(const std::string& message) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line;
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 15];
    } else {
      line += c;
    }
  }
  return line;
}

}  // namespace

void AddConfigFileOption(CLI::App& command, std::map<std::string, std::string>* origins) {
  CLI::Option* config =
      command.add_option("--config")
          ->description("TOML file of settings: each key is an option's long name; the command line wins")
          ->type_name("FILE")
          ->configurable(false);
  command.parse_complete_callback([&command, config, origins] {
    if (config->count() == 0) return;
    const std::string path = config->as<std::string>();
    std::string error;
    const std::optional<std::vector<ConfigSetting>> settings = ReadConfigFile(path, &error);
    if (settings) error = ApplyConfigSettings(command, path, *settings, origins);
    if (error.empty()) return;
    const std::string message = "zmfile " + command.get_name() + ": " + OneLine(error);
    std::cerr << message << '\n';
    throw CLI::RuntimeError(message, kExitUsage);
  });
}

}  // namespace zimrax::zmfile
