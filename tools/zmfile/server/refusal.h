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

// Why a request (or connection) was refused, as operators count it
// (ServerMetrics): a few coarse reasons, unlike RefusalKind's detail.
enum class RefusalCause {
  kNone,
  kRules,    // a limit on what may be stored: size, count, type (413, 415)
  kBudgets,  // what one client or the server may hold: connections, headers, time, listings, hashes (408, 431, 503)
  kOrigin,   // a foreign Host or Origin (403, 421)
  kAuth,     // missing or wrong credentials, or sign-ins throttled (401, 429)
  kRequest,  // malformed or unsupported (400, 411, 417, 501)
};
inline constexpr int kRefusalCauses = 6;

inline const char* RefusalCauseName(RefusalCause reason) {
  switch (reason) {
    case RefusalCause::kNone: return "none";
    case RefusalCause::kRules: return "rules";
    case RefusalCause::kBudgets: return "budgets";
    case RefusalCause::kOrigin: return "origin";
    case RefusalCause::kAuth: return "auth";
    case RefusalCause::kRequest: return "request";
  }
  return "none";
}

// The reason of an answer of `status` whose maker named none: kNone for a
// status that is no refusal (404, 405, 409, 412, 416, 500 among them).
inline RefusalCause RefusalCauseOfStatus(int status) {
  switch (status) {
    case 413: case 415: return RefusalCause::kRules;
    case 408: case 431: case 503: return RefusalCause::kBudgets;
    case 403: case 421: return RefusalCause::kOrigin;
    case 401: case 429: return RefusalCause::kAuth;
    case 400: case 411: case 417: case 501: return RefusalCause::kRequest;
    default: return RefusalCause::kNone;
  }
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
