#include "zimrax/result_code.h"

namespace zimrax {

std::string_view ResultMessage(ResultCode code, Operation operation) {
  switch (code) {
    case ResultCode::kOk: return "";
    case ResultCode::kFieldNameNotFound: return "Error: Form Field Name not found.";
    case ResultCode::kDispositionNotFound: return "Error: Can not locate 'Content-Disposition' text.";
    case ResultCode::kFilenameNotFound: return "Error: Can not locate filename in form field.";
    case ResultCode::kBadFormFilename: return "Error: Bad Form Filename.";
    case ResultCode::kDataNotFound:
      return operation == Operation::kFileSave ? "Error: Can not locate binary file data."
                                               : "Error: Can not locate form field data.";
    case ResultCode::kFileAlreadyExists: return "Error: File Already Exists.";
  }
  return "";
}

}  // namespace zimrax
