#include "body_call.h"

#include <iostream>
#include <memory>

#include "body_source.h"
#include "result_printer.h"
#include "zimrax/automation/class_registry.h"

namespace zimrax::zmfile {

int RunBodyCall(const std::string& body_path, bool json, const BodyCall& call) {
  BodySource body(body_path);
  if (!body.ok()) {
    std::cerr << "zmfile: cannot read " << (body_path == "-" ? "standard input" : body_path) << ": " << body.Error()
              << '\n';
    return kExitUsage;
  }
  CallOutcome outcome;
  try {
    std::unique_ptr<ZmFile> file = CreateObject(kProgIdZmFile);
    Variant form_data = Variant::BorrowBytes(body.Bytes());
    outcome.result = call(*file, form_data, outcome.error_code);
  } catch (const AutomationError& fault) {
    outcome.fault = fault;
  }
  return PrintOutcome(outcome, json);
}

}  // namespace zimrax::zmfile
