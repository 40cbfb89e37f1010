// A config file's settings given to a CLI11 command as if they came on its
// command line, after it: the command's own option table says which keys
// exist, and its validators, conversions and exclusions judge the values.
#ifndef ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_APPLY_H_
#define ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_APPLY_H_

#include <CLI/CLI.hpp>
#include <map>
#include <string>
#include <vector>

#include "config/config_file.h"

namespace zimrax::zmfile {

// Gives each of `settings` (read from `path`) to the option of `command`
// with that long name, unless the command line set that option or one that
// excludes it: the command line wins. Fills *origins with "--NAME" ->
// "FILE:LINE: KEY" for each setting applied. Returns "" or, for the first
// fault, "FILE:LINE: KEY: why": a key that is no option (or one that cannot
// be set from a file, like --config and --help), a value of the wrong kind
// (a flag takes true or false; a text option no number; only a repeatable
// option an array), a value its validator refuses, two settings that
// exclude each other, or one that needs an option nothing set.
// REQUIRES: the command line has been parsed into `command`.
std::string ApplyConfigSettings(CLI::App& command, const std::string& path, const std::vector<ConfigSetting>& settings,
                                std::map<std::string, std::string>* origins);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_CONFIG_CONFIG_APPLY_H_
