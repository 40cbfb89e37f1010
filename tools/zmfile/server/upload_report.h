// What came of one upload request, file by file, and the HTTP status that
// tells it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_REPORT_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_REPORT_H_

#include <optional>
#include <string>
#include <vector>

#include "server/file_facts.h"
#include "server/request_gate.h"
#include "zimrax/operation_result.h"

namespace zimrax::zmfile {

// How one file field of the form ended.
struct FileReport {
  std::string field;        // "upload1" to "upload100"; "" for a request refused as a whole
  std::string client_name;  // the file name the client sent, "" when unknown
  // How the component ended for the field: its ErrorCode and text, or a
  // fault; with the errno behind a platform error and whether "overwrite"
  // replaced a file. None when the server answered without it.
  std::optional<OperationResult> outcome;
  std::optional<Refusal> refusal;  // the server's own refusal, before the component ran
  bool empty = false;              // stored, and holds no bytes
  std::string conflict;            // the policy the component stored under; "" when it did not run
  // Sent from a file input left empty: filename="" and no data (104).
  bool unchosen = false;
  // Unchosen beside a chosen file: it does not count for the status.
  bool skipped = false;
  // What was known of the file before it was published: set for each file
  // that passed the rules and reached the pre-publish check.
  std::optional<FileFacts> facts;

  // The component's fault, kNone without one.
  RuntimeError Fault() const { return outcome ? outcome->fault : RuntimeError::kNone; }
  bool Faulted() const { return Fault() != RuntimeError::kNone; }
  // An ErrorCode to report: the component ran to its end, unrefused.
  bool HasCode() const { return outcome && !outcome->faulted() && !refusal; }
};

// The whole request. Its own FileReport part is what the answer's top-level
// fields tell: upload1's outcome when the form has upload1, else the first
// file field's, else why none was stored.
struct UploadReport : FileReport {
  std::string comment;            // the form's comment field, "" when absent
  std::vector<FileReport> files;  // one per file field present, in field order
  // The conflict choices a client may make (for the advice in messages).
  std::vector<std::string> client_choices;
  // When the form has no file field: the names of the fields it has (at
  // most kMaxHintedFields, each at most kMaxHintedName bytes), and whether
  // there were more.
  std::vector<std::string> fields_found;
  bool more_fields_found = false;
  // A warning about the form that does not change its outcome; "" for none.
  std::string warning;
};

// 200 for ErrorCode 0; 400 for 101 to 105, a fault, or a bad request; 409
// for 106; for a platform error 400 when the name is one the file system
// cannot hold (ENAMETOOLONG, the client's fault), 507 when the disk or quota
// is full (ENOSPC, EDQUOT), 503 when the server is out of descriptors
// (EMFILE, ENFILE: 67), else 500; a refusal's own status.
int HttpStatusOfFile(const FileReport& file);

// 200 when every file in `report.files` was stored or skipped; otherwise
// the status of the first that was not. A report without files: the status
// of its own part.
int HttpStatusOf(const UploadReport& report);

// The stored name of one file, "" when it was not stored.
std::string NameStoredFor(const FileReport& file);

// The names stored by the request, joined by "/" (which no stored name
// holds); "" when none was stored.
std::string NameStoredBy(const UploadReport& report);

// The SHA-256 digests of the files stored (with --digest), in the order
// of NameStoredBy, joined by "/"; "" when there are none.
std::string DigestsStoredBy(const UploadReport& report);

// Why the upload was not stored, for the log: of the file whose status is
// the request's, the refusal's message, the fault's number and
// description, or the ErrorCode and its message; "" for a stored upload.
std::string RefusalReason(const UploadReport& report);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_REPORT_H_
