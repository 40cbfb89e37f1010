#include "core/result_builders.h"

#include "core/platform_error.h"

namespace zimrax {

OperationResult SaveResultOf(const StoreReport& report) {
  switch (report.status) {
    case StoreStatus::kStored: {
      OperationResult result = SuccessResult(report.entry_name);
      result.stored_name = report.entry_name;
      result.replaced = report.replaced;
      return result;
    }
    case StoreStatus::kTaken: return CodeResult(ResultCode::kFileAlreadyExists, Operation::kFileSave);
    case StoreStatus::kNoNameLeft: return FaultResult(RuntimeError::kOverflow);
    case StoreStatus::kSourceFault: return FaultResult(report.source_fault);
    case StoreStatus::kFailed: break;
  }
  const RuntimeError error = PlatformErrorFromErrno(report.error_number, report.role);
  OperationResult result;
  result.code = static_cast<std::int32_t>(error);
  result.width = report.replacing ? ErrorCodeWidth::kInt32 : ErrorCodeWidth::kInt16;
  result.text = std::string(RuntimeErrorDescription(error));
  result.platform_errno = report.error_number;
  return result;
}

}  // namespace zimrax
