// zmfile serve [--dir DIR] [--host HOST] [--port PORT] [--conflict POLICY] [--max-body BYTES]
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVE_COMMAND_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVE_COMMAND_H_

#include <CLI/CLI.hpp>

namespace zimrax::zmfile {

// Adds the "serve" subcommand; running it stores its exit status.
void AddServeCommand(CLI::App& app, int& exit_status);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVE_COMMAND_H_
