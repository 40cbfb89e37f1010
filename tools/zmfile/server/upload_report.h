// What came of one upload request, and the HTTP status that tells it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_REPORT_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_REPORT_H_

#include <optional>
#include <string>

#include "server/request_gate.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/variant.h"

namespace zimrax::zmfile {

struct UploadReport {
  Variant error_code;                    // ZmFileSave's ErrorCode; Empty after a fault or a refusal
  Variant result;                        // stored name or message; Empty after a fault or a refusal
  std::string comment;                   // the form's comment field, "" when absent
  std::optional<AutomationError> fault;  // a fault of the component
  std::optional<Refusal> refusal;        // the server's own refusal, before the component ran
  int platform_errno = 0;                // the errno behind a platform error code; 0 otherwise
  bool replaced = false;                 // "overwrite" replaced a file already stored under the name
};

// 200 for ErrorCode 0; 400 for 101 to 105, a fault, or a bad request; 409
// for 106; for a platform error 400 when the name is one the file system
// cannot hold (ENAMETOOLONG, the client's fault), 507 when the disk or quota
// is full (ENOSPC, EDQUOT), else 500; a refusal's own status.
int HttpStatusOf(const UploadReport& report);

// The stored name of a successful upload, "" otherwise.
std::string NameStoredBy(const UploadReport& report);

// Why the upload was not stored, for the log: the refusal's message, the
// fault's number and description, or the ErrorCode and its message; ""
// for a stored upload.
std::string RefusalReason(const UploadReport& report);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_REPORT_H_
