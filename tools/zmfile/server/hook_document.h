// What a hook is told about one file: the JSON document on its standard
// input (or in its POST), and the few ZMFILE_* variables of a command's
// environment.
//
//   {"Hook": "pre", "StoredName": "a.txt", "ClientName": "C:\\a.txt", "Size": 3,
//    "MimeType": "text/plain", "Sha256": "ba78...", "User": "", "ClientAddress": "127.0.0.1",
//    "Fields": {"comment": "..."}, "Conflict": "makeunique"}
//
// The post document adds "Outcome": {"ResultCode": 0, "StoredName": "a.txt",
// "Message": "..."}. Text that is not UTF-8 is passed with each bad byte
// replaced by U+FFFD.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_DOCUMENT_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_DOCUMENT_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zimrax::zmfile {

struct HookSubject {
  std::string stored_name;  // the name it is (pre: is to be) stored under
  std::string client_name;  // as the client sent it
  std::uint64_t size = 0;
  std::string mime_type;  // "" when unknown
  std::string sha256;     // 64 hex digits
  std::string user;       // the authenticated user, "" without one
  std::string client_address;
  // The form's value fields, in body order (name, value).
  std::vector<std::pair<std::string, std::string>> fields;
  std::string conflict;  // the policy it is stored under
};

struct HookOutcome {
  int result_code = 0;  // the component's result code
  std::string stored_name;
  std::string message;
};

std::string PreHookDocument(const HookSubject& subject);
std::string PostHookDocument(const HookSubject& subject, const HookOutcome& outcome);

// ZMFILE_HOOK ("pre" or "post"), ZMFILE_STORED_NAME, ZMFILE_SIZE,
// ZMFILE_SHA256 and ZMFILE_USER: for a command hook's environment.
std::map<std::string, std::string> HookVariables(const char* hook, const HookSubject& subject);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_DOCUMENT_H_
