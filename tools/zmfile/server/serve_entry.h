// Runs the upload server until SIGINT or SIGTERM.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_ENTRY_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_ENTRY_H_

#include "server/serve_options.h"

// Serves `options->dir` (created when missing). Returns the exit status:
// kExitOk once stopped by a signal, kExitUsage when the directory or the
// address cannot be used, kExitFault when the server stops by itself.
// Unmangled, so that zmfile finds it in the module by name.
extern "C" int ZmfileRunServe(const zimrax::zmfile::ServeOptions* options);
inline constexpr char kServeEntryName[] = "ZmfileRunServe";

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_ENTRY_H_
