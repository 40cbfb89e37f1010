// The serve subcommand of a build without the server (ZIMRAX_BUILD_SERVER=OFF).
#include <iostream>

#include "exit_status.h"
#include "serve_command.h"

namespace zimrax::zmfile {

void AddServeCommand(CLI::App& app, int& exit_status) {
  CLI::App* command = app.add_subcommand("serve", "Serve an upload page (not built in this configuration)");
  command->allow_extras();
  command->callback([&exit_status] {
    std::cerr << "zmfile serve: this zmfile was built without the server (ZIMRAX_BUILD_SERVER=OFF)\n";
    exit_status = kExitUsage;
  });
}

}  // namespace zimrax::zmfile
