// zmfile save --body FILE --field NAME --dir DIR [--conflict POLICY] [--json]
#ifndef ZIMRAX_TOOLS_ZMFILE_SAVE_COMMAND_H_
#define ZIMRAX_TOOLS_ZMFILE_SAVE_COMMAND_H_

#include <CLI/CLI.hpp>

namespace zimrax::zmfile {

// Adds the "save" subcommand; running it stores its exit status.
void AddSaveCommand(CLI::App& app, int& exit_status);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SAVE_COMMAND_H_
