#include "value_command.h"

#include <iostream>
#include <memory>
#include <string>

#include "body_source.h"
#include "result_printer.h"
#include "zimrax/class_registry.h"

namespace zimrax::zmfile {
namespace {

struct ValueOptions {
  std::string body_path;
  std::string field;
  bool json = false;
};

int RunValue(const ValueOptions& options) {
  BodySource body(options.body_path);
  if (!body.ok()) {
    std::cerr << "zmfile: cannot read body " << body.Error() << '\n';
    return kExitUsage;
  }
  CallOutcome outcome;
  try {
    std::unique_ptr<ZmFile> file = CreateObject(kProgIdZmFile);
    Variant form_data = Variant::BorrowBytes(body.Bytes());
    outcome.result = file->ZmFormFieldValue(form_data, Variant(options.field), outcome.error_code);
  } catch (const AutomationError& fault) {
    outcome.fault = fault;
  }
  return PrintOutcome(outcome, options.json);
}

}  // namespace

void AddValueCommand(CLI::App& app, int& exit_status) {
  auto options = std::make_shared<ValueOptions>();
  CLI::App* command = app.add_subcommand("value", "Print the value of one form field of a multipart body");
  command->add_option("--body", options->body_path, "File holding the raw request body, or - for standard input")
      ->required();
  command->add_option("--field", options->field, "Name of the form field")->required();
  command->add_flag("--json", options->json, "Print one JSON object instead of the raw value");
  command->callback([options, &exit_status] { exit_status = RunValue(*options); });
}

}  // namespace zimrax::zmfile
