#include "result_printer.h"

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "base64.h"

namespace zimrax::zmfile {
namespace {

using Json = nlohmann::ordered_json;

bool IsValidUtf8(const std::string& text) {
  try {
    (void)Json(text).dump(-1, ' ', false, Json::error_handler_t::strict);
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

}  // namespace

std::string OutcomeJson(const CallOutcome& outcome) {
  const OperationResult& result = outcome.result;
  Json json;
  if (result.faulted()) {
    json["ErrorCode"] = 0;
    json["ErrorCodeType"] = "int16";
  } else {
    json["ErrorCode"] = result.code;
    json["ErrorCodeType"] = result.width == ErrorCodeWidth::kInt32 ? "int32" : "int16";
  }
  if (result.faulted()) {
    json["Result"] = nullptr;
  } else {
    const std::string& text = result.text;
    if (IsValidUtf8(text)) {
      json["Result"] = text;
    } else {
      json["Result"] = nullptr;
      json["ResultBase64"] = Base64Encode(text);
    }
  }
  if (result.faulted()) {
    json["Fault"] = Json{{"Number", static_cast<int>(result.fault)},
                         {"Description", std::string(RuntimeErrorDescription(result.fault))}};
  } else {
    json["Fault"] = nullptr;
  }
  return json.dump();
}

int PrintOutcome(const CallOutcome& outcome, bool json, std::string_view context) {
  const OperationResult& result = outcome.result;
  const int status = result.faulted() ? kExitFault : result.code != 0 ? kExitErrorCode : kExitOk;
  if (json) {
    std::cout << OutcomeJson(outcome) << '\n' << std::flush;
    return status;
  }
  if (result.faulted()) {
    std::cerr << "zmfile: fault " << static_cast<int>(result.fault) << ": " << RuntimeErrorDescription(result.fault)
              << '\n';
  } else if (status == kExitErrorCode) {
    std::cerr << "zmfile: error " << result.code << ": " << result.text << '\n';
  }
  if (status != kExitOk) {
    if (!context.empty()) std::cerr << "zmfile: " << context << '\n';
    return status;
  }
  const std::string& text = result.text;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return status;
}

}  // namespace zimrax::zmfile
