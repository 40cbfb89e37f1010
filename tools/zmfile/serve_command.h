// zmfile serve [--config FILE] [--dir DIR] [--host HOST] [--port PORT] [--conflict POLICY] [--max-body BYTES]
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVE_COMMAND_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVE_COMMAND_H_

#include <CLI/CLI.hpp>
#include <memory>

#include "server/serve_options.h"

namespace zimrax::zmfile {

// Adds the "serve" subcommand; running it stores its exit status.
void AddServeCommand(CLI::App& app, int& exit_status);

// The same, filling `options`; returns the command (tests replace its
// callback). Only in a build with the server.
CLI::App* AddServeCommandFilling(CLI::App& app, int& exit_status, std::shared_ptr<ServeOptions> options);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVE_COMMAND_H_
