#include "save_command.h"

#include <memory>
#include <optional>
#include <string>

#include "all_parts_call.h"
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
  bool all = false;
  std::size_t max_parts = 1000;
};

}  // namespace

void AddSaveCommand(CLI::App& app, int& exit_status) {
  auto options = std::make_shared<SaveOptions>();
  CLI::App* command = app.add_subcommand("save", "Store the file of one file-upload field of a multipart body");
  command->add_option("--body", options->body_path, "File holding the raw request body, or - for standard input")
      ->required();
  CLI::Option* field = command->add_option("--field", options->field, "Name of the file-upload field");
  CLI::Option* all = command->add_flag(
      "--all", options->all, "Store the file of every part that carries a file name, in body order");
  field->excludes(all);
  command->add_option("--max-parts", options->max_parts, "With --all: the most parts read")
      ->needs(all)
      ->capture_default_str();
  command->add_option("--dir", options->directory, "Directory to store the file in")->required();
  // The component reads any other text as "error"; the command line names
  // the three policies instead, so that a misspelt one is a usage error.
  command
      ->add_option("--conflict", options->conflict,
                   "What to do when the name is taken: error (default), overwrite or makeunique, in any case")
      ->check(CLI::IsMember({"error", "overwrite", "makeunique"}, CLI::ignore_case));
  command->add_flag("--json", options->json, "Print one JSON object instead of the stored name");
  command->add_flag("--fsync", options->fsync, "Sync the file and its directory entry to the device before exiting");
  command->callback([options, field, &exit_status] {
    if (options->all) {
      AllPartsRequest request;
      request.save = true;
      request.directory = options->directory;
      request.conflict = options->conflict;
      request.durable = options->fsync;
      request.max_parts = options->max_parts;
      exit_status = RunAllParts(options->body_path, request, options->json);
      return;
    }
    if (field->count() == 0) throw CLI::RequiredError("--field");  // as when --field alone was required
    exit_status = RunStreamedCall(
        options->body_path, {true, options->field, options->directory, options->conflict, options->fsync},
        options->json);
  });
}

}  // namespace zimrax::zmfile
