#include "config/config_option.h"

#include <iostream>
#include <optional>
#include <vector>

#include "config/config_apply.h"
#include "config/config_file.h"
#include "exit_status.h"

namespace zimrax::zmfile {

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
    const std::string message = "zmfile " + command.get_name() + ": " + error;
    std::cerr << message << '\n';
    throw CLI::RuntimeError(message, kExitUsage);
  });
}

}  // namespace zimrax::zmfile
