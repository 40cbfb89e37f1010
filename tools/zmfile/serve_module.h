// Loads the server module (zmfile-serve.so) and runs the upload server.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVE_MODULE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVE_MODULE_H_

#include "server/serve_options.h"

namespace zimrax::zmfile {

// The module is looked for beside the zmfile executable (a build tree) and
// then where `install` puts it. Returns the server's exit status, or
// kExitUsage after saying why when the module cannot be loaded.
int RunServeModule(const ServeOptions& options);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVE_MODULE_H_
