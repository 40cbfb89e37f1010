// zmfile value --body FILE --field NAME [--json]
#ifndef ZIMRAX_TOOLS_ZMFILE_VALUE_COMMAND_H_
#define ZIMRAX_TOOLS_ZMFILE_VALUE_COMMAND_H_

#include <CLI/CLI.hpp>

namespace zimrax::zmfile {

// Adds the "value" subcommand; running it stores its exit status.
void AddValueCommand(CLI::App& app, int& exit_status);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_VALUE_COMMAND_H_
