// --config FILE of a zmfile command: a TOML file that holds any of the
// command's options, which the command line overrides.
#ifndef ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_OPTION_H_
#define ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_OPTION_H_

#include <CLI/CLI.hpp>
#include <map>
#include <string>

namespace zimrax::zmfile {

// Adds --config FILE to `command`. Once the command line is parsed into
// it, and before its callback runs, the file's settings are applied to
// whatever options the command line left unset (config_apply.h), and
// *origins says where each came from. A file that cannot be read or
// applied prints "zmfile COMMAND: FILE[:LINE[: KEY]]: why" to standard
// error and throws CLI::RuntimeError with that text and kExitUsage.
// REQUIRES: `origins` outlives the parse.
void AddConfigFileOption(CLI::App& command, std::map<std::string, std::string>* origins);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_OPTION_H_
