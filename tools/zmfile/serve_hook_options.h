// The hook options of zmfile serve.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVE_HOOK_OPTIONS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVE_HOOK_OPTIONS_H_

#include <CLI/CLI.hpp>

#include "server/serve_options.h"

namespace zimrax::zmfile {

// Adds --hook-pre, --hook-post, --hook-timeout, --hook-pre-total and the
// post-hook queue's --hook-post-queue, --hook-post-workers and
// --hook-post-retries to `command`, storing into `options`.
// REQUIRES: `options` outlives the command's parsing.
void AddServeHookOptions(CLI::App& command, ServeOptions& options);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVE_HOOK_OPTIONS_H_
