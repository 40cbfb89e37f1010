// The shapes an OperationResult takes inside the core operations.
#ifndef ZIMRAX_CORE_RESULT_BUILDERS_H_
#define ZIMRAX_CORE_RESULT_BUILDERS_H_

#include <string>
#include <utility>

#include "storage/store_report.h"
#include "zimrax/operation_result.h"

namespace zimrax {

inline OperationResult SuccessResult(std::string text) {
  OperationResult result;
  result.text = std::move(text);
  return result;
}

inline OperationResult CodeResult(ResultCode code, Operation operation) {
  OperationResult result;
  result.code = static_cast<std::int32_t>(code);
  result.text = std::string(ResultMessage(code, operation));
  return result;
}

inline OperationResult FaultResult(RuntimeError fault) {
  OperationResult result;
  result.fault = fault;
  return result;
}

// The result of a save whose storing ended with `report`: the stored name,
// 106, a platform error number with its description (Int32 for a failed
// replace), or a fault.
OperationResult SaveResultOf(const StoreReport& report);

}  // namespace zimrax

#endif  // ZIMRAX_CORE_RESULT_BUILDERS_H_
