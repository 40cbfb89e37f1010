#include "core/streamed_value_field.h"

#include "core/result_builders.h"

namespace zimrax {

bool StreamedValueField::Collect(ByteView first, ByteView second) {
  if (over_cap_) return false;
  if (value_.size() + first.size() + second.size() > max_bytes_) {
    over_cap_ = true;
    std::string().swap(value_);
    return false;
  }
  value_.append(reinterpret_cast<const char*>(first.data()), first.size());
  value_.append(reinterpret_cast<const char*>(second.data()), second.size());
  return true;
}

FieldOutcome StreamedValueField::Finish(const SectionReader& reader) {
  constexpr Operation kOperation = Operation::kFormFieldValue;
  FieldOutcome outcome;
  // Without a line end after the name there is neither a file name nor a
  // blank line that could start the data.
  if (!reader.LineEnds()) {
    outcome.result = CodeResult(ResultCode::kDataNotFound, kOperation);
  } else if (reader.HasFileName()) {
    if (!reader.FileNameClosed()) {
      outcome.result = FaultResult(RuntimeError::kSubscriptOutOfRange);
    } else if (value_.empty() && !over_cap_) {
      outcome.result = CodeResult(ResultCode::kBadFormFilename, kOperation);
    } else if (over_cap_) {
      outcome.status = FieldStatus::kLimitExceeded;
    } else {
      outcome.result = SuccessResult(std::move(value_));
    }
  } else if (!reader.DataStarted()) {
    outcome.result = CodeResult(ResultCode::kDataNotFound, kOperation);
  } else if (over_cap_) {
    outcome.status = FieldStatus::kLimitExceeded;
  } else {
    outcome.result = SuccessResult(std::move(value_));
  }
  return outcome;
}

}  // namespace zimrax
