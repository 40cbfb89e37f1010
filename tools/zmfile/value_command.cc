#include "value_command.h"

#include <memory>
#include <string>

#include "streamed_call.h"

namespace zimrax::zmfile {
namespace {

struct ValueOptions {
  std::string body_path;
  std::string field;
  bool json = false;
};

}  // namespace

void AddValueCommand(CLI::App& app, int& exit_status) {
  auto options = std::make_shared<ValueOptions>();
  CLI::App* command = app.add_subcommand("value", "Print the value of one form field of a multipart body");
  command->add_option("--body", options->body_path, "File holding the raw request body, or - for standard input")
      ->required();
  command->add_option("--field", options->field, "Name of the form field")->required();
  command->add_flag("--json", options->json, "Print one JSON object instead of the raw value");
  command->callback([options, &exit_status] {
    exit_status = RunStreamedCall(options->body_path, {false, options->field, {}, {}, false}, options->json);
  });
}

}  // namespace zimrax::zmfile
