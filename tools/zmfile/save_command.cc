#include "save_command.h"

#include <memory>
#include <optional>
#include <string>

#include "streamed_call.h"

namespace zimrax::zmfile {
namespace {

struct SaveOptions {
  std::string body_path;
  std::string field;
  std::string directory;
  std::optional<std::string> conflict;  // left out: the argument is omitted
  bool json = false;
  bool fsync = false;
};

}  // namespace

void AddSaveCommand(CLI::App& app, int& exit_status) {
  auto options = std::make_shared<SaveOptions>();
  CLI::App* command = app.add_subcommand("save", "Store the file of one file-upload field of a multipart body");
  command->add_option("--body", options->body_path, "File holding the raw request body, or - for standard input")
      ->required();
  command->add_option("--field", options->field, "Name of the file-upload field")->required();
  command->add_option("--dir", options->directory, "Directory to store the file in")->required();
  // The component reads any other text as "error"; the command line names
  // the three policies instead, so that a misspelt one is a usage error.
  command
      ->add_option("--conflict", options->conflict,
                   "What to do when the name is taken: error (default), overwrite or makeunique, in any case")
      ->check(CLI::IsMember({"error", "overwrite", "makeunique"}, CLI::ignore_case));
  command->add_flag("--json", options->json, "Print one JSON object instead of the stored name");
  command->add_flag("--fsync", options->fsync, "Sync the file and its directory entry to the device before exiting");
  command->callback([options, &exit_status] {
    exit_status = RunStreamedCall(
        options->body_path, {true, options->field, options->directory, options->conflict, options->fsync},
        options->json);
  });
}

}  // namespace zimrax::zmfile
