#include "value_command.h"

#include <memory>
#include <string>

#include "all_parts_call.h"
#include "streamed_call.h"

namespace zimrax::zmfile {
namespace {

struct ValueOptions {
  std::string body_path;
  std::string field;
  bool json = false;
  bool all = false;
  std::size_t max_value = 64 * 1024;
  std::size_t max_parts = 1000;
};

}  // namespace

void AddValueCommand(CLI::App& app, int& exit_status) {
  auto options = std::make_shared<ValueOptions>();
  CLI::App* command = app.add_subcommand("value", "Print the value of one form field of a multipart body");
  command->add_option("--body", options->body_path, "File holding the raw request body, or - for standard input")
      ->required();
  CLI::Option* field = command->add_option("--field", options->field, "Name of the form field");
  CLI::Option* all = command->add_flag("--all", options->all,
                                       "Print every part's value in body order, one NAME<TAB>VALUE line each");
  field->excludes(all);
  command->add_option("--max-value", options->max_value, "With --all: the longest value read, in bytes")
      ->needs(all)
      ->capture_default_str();
  command->add_option("--max-parts", options->max_parts, "With --all: the most parts read")
      ->needs(all)
      ->capture_default_str();
  command->add_flag("--json", options->json, "Print one JSON object instead of the raw value (one per part with --all)");
  command->callback([options, field, &exit_status] {
    if (options->all) {
      AllPartsRequest request;
      request.max_value_bytes = options->max_value;
      request.max_parts = options->max_parts;
      exit_status = RunAllParts(options->body_path, request, options->json);
      return;
    }
    if (field->count() == 0) throw CLI::RequiredError("--field");  // as when --field alone was required
    exit_status = RunStreamedCall(options->body_path, {false, options->field, {}, {}, false}, options->json);
  });
}

}  // namespace zimrax::zmfile
