// zmfile: the command-line face of the upload component.
#include <CLI/CLI.hpp>

#include "exit_status.h"
#include "save_command.h"
#include "serve_command.h"
#include "value_command.h"
#include "zimrax/version.h"

int main(int argc, char** argv) {
  CLI::App app{"zmfile: read form fields and store uploaded files from multipart/form-data bodies"};
  app.set_version_flag("--version", std::string(zimrax::kVersionString));
  app.require_subcommand(1);
  int exit_status = zimrax::zmfile::kExitOk;
  zimrax::zmfile::AddValueCommand(app, exit_status);
  zimrax::zmfile::AddSaveCommand(app, exit_status);
  zimrax::zmfile::AddServeCommand(app, exit_status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int printed = app.exit(error);
    return printed == 0 ? zimrax::zmfile::kExitOk : zimrax::zmfile::kExitUsage;
  }
  return exit_status;
}
