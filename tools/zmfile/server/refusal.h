// Why the server refuses a request, or one file of it, before the
// component runs: a typed value that each stage hands on, so that no one
// downstream tells refusals apart by their wording.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_REFUSAL_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_REFUSAL_H_

#include <string>

namespace zimrax::zmfile {

enum class RefusalKind {
  kRequest,     // the request or its form, as the message says
  kSite,        // the Host or Origin names another site
  kHiddenName,  // a file name that starts with "." (hidden from listings)
  kInternal,    // the server itself failed
  kFraming,     // the body's framing (Transfer-Encoding, Content-Length, chunks) is refused
  kTooLarge,    // the body passes --max-body
  kNotAForm,    // not multipart/form-data, or a compressed body
  kNoLength,    // neither Content-Length nor chunked
  kPathName,    // a client file name that is a path, or too long
  kIncomplete,  // the form ends before its closing delimiter
  kHook,        // the pre-hook did not accept the file
  kFileTooLarge,  // one file passes --max-file-size
  kTooManyFiles,  // the form holds more files than --max-files
  kFileType,      // --allow-types, --deny-types or --strict-types refuse the file
};

// The kind as the JSON answer's "RefusedKind" names it, for clients (the
// upload page among them) that word refusals themselves.
inline const char* RefusalKindName(RefusalKind kind) {
  switch (kind) {
    case RefusalKind::kSite: return "site";
    case RefusalKind::kHiddenName: return "hidden-name";
    case RefusalKind::kInternal: return "internal";
    case RefusalKind::kFraming: return "framing";
    case RefusalKind::kTooLarge: return "too-large";
    case RefusalKind::kNotAForm: return "not-a-form";
    case RefusalKind::kNoLength: return "no-length";
    case RefusalKind::kPathName: return "path-name";
    case RefusalKind::kIncomplete: return "incomplete";
    case RefusalKind::kHook: return "hook";
    case RefusalKind::kFileTooLarge: return "file-too-large";
    case RefusalKind::kTooManyFiles: return "too-many-files";
    case RefusalKind::kFileType: return "file-type";
    case RefusalKind::kRequest: break;
  }
  return "request";
}

struct Refusal {
  int status;           // the HTTP status: 400, 403, 411, 413, 415, 421, 431, 500, 501
  std::string message;  // one English sentence for the client (and the log)
  RefusalKind kind = RefusalKind::kRequest;
};

// Why a name starting with "." is refused: such names are hidden from the
// listings, and the component's own temporary files are hidden files.
inline constexpr const char* kHiddenNameRefusal = "hidden names are not accepted";

inline Refusal HiddenNameRefusal() { return Refusal{400, kHiddenNameRefusal, RefusalKind::kHiddenName}; }

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_REFUSAL_H_
