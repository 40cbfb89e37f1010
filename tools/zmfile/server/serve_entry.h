// Runs the upload server until SIGINT or SIGTERM.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_ENTRY_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_ENTRY_H_

#include "server/serve_options.h"

namespace zimrax::zmfile {

// Serves `options.dir` (created when missing). Returns the exit status:
// kExitOk once stopped by a signal, kExitUsage when the directory or the
// address cannot be used, kExitFault when the server stops by itself.
int RunServe(ServeOptions options);

}  // namespace zimrax::zmfile

// The same, under the unmangled name that the serve module exports.
extern "C" int ZmfileRunServe(const zimrax::zmfile::ServeOptions* options);
inline constexpr char kServeEntryName[] = "ZmfileRunServe";

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_ENTRY_H_
