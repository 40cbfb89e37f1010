// zmfile: the command-line face of the upload component.
#include <CLI/CLI.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "exit_status.h"
#include "save_command.h"
#include "serve_command.h"
#include "value_command.h"
#include "zimrax/version.h"

namespace {

// A usage error in the form of every other message of the tool: each line
// starts with "zmfile:", and the last one points at the help of the command
// that was being given.
std::string UsageFailure(const CLI::App* app, const CLI::Error& error) {
  std::string command = "zmfile";
  for (const CLI::App* subcommand : app->get_subcommands()) command += " " + subcommand->get_name();
  std::string what = error.what();
  // With no command recognised, the parser only says that one is missing;
  // the first word left over is what was given instead.
  const std::vector<std::string> left_over = app->remaining();
  if (app->get_subcommands().empty() && !left_over.empty()) {
    const std::string& first = left_over.front();
    std::string commands;
    for (const CLI::App* known : app->get_subcommands([](const CLI::App*) { return true; })) {
      commands += (commands.empty() ? "" : ", ") + known->get_name();
    }
    what = (first.starts_with('-') ? "unknown option '" : "unknown command '") + first + "' (commands: " + commands +
           ")";
  }
  std::string message;
  std::istringstream lines(what);
  for (std::string line; std::getline(lines, line);) message += "zmfile: " + line + '\n';
  return message + "zmfile: see '" + command + " --help'\n";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zmfile: read form fields and store uploaded files from multipart/form-data bodies"};
  // Usage lines show "zmfile", not the path the tool was started by.
  app.name("zmfile");
  app.failure_message(UsageFailure);
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
