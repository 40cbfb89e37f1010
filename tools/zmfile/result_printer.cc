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
  Json json;
  switch (outcome.error_code.Type()) {
    case VariantType::kInt16:
      json["ErrorCode"] = outcome.error_code.ToInt32();
      json["ErrorCodeType"] = "int16";
      break;
    case VariantType::kInt32:
      json["ErrorCode"] = outcome.error_code.ToInt32();
      json["ErrorCodeType"] = "int32";
      break;
    default:
      json["ErrorCode"] = nullptr;
      json["ErrorCodeType"] = "empty";
      break;
  }
  if (outcome.result.IsEmpty()) {
    json["Result"] = nullptr;
  } else {
    const std::string text = outcome.result.ToText();
    if (IsValidUtf8(text)) {
      json["Result"] = text;
    } else {
      json["Result"] = nullptr;
      json["ResultBase64"] = Base64Encode(text);
    }
  }
  if (outcome.fault) {
    json["Fault"] = Json{{"Number", outcome.fault->Number()}, {"Description", outcome.fault->Description()}};
  } else {
    json["Fault"] = nullptr;
  }
  return json.dump();
}

int PrintOutcome(const CallOutcome& outcome, bool json, std::string_view context) {
  const int status = outcome.fault                         ? kExitFault
                     : outcome.error_code.IsEmpty()        ? kExitFault
                     : outcome.error_code.ToInt32() != 0   ? kExitErrorCode
                                                           : kExitOk;
  if (json) {
    std::cout << OutcomeJson(outcome) << '\n' << std::flush;
    return status;
  }
  if (outcome.fault) {
    std::cerr << "zmfile: fault " << outcome.fault->Number() << ": " << outcome.fault->Description() << '\n';
  } else if (status == kExitErrorCode) {
    std::cerr << "zmfile: error " << outcome.error_code.ToInt32() << ": " << outcome.result.ToText() << '\n';
  }
  if (status != kExitOk) {
    if (!context.empty()) std::cerr << "zmfile: " << context << '\n';
    return status;
  }
  const std::string text = outcome.result.ToText();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return status;
}

}  // namespace zimrax::zmfile
