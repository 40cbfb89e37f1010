#include "server/result_messages.h"

#include <algorithm>
#include <cerrno>

#include "server/file_name_rules.h"
#include "server/upload_stream.h"

namespace zimrax::zmfile {
namespace {

constexpr const char* kTellOperator = "tell whoever runs the server";
// The longest name the file systems the server runs on hold, in bytes.
constexpr std::size_t kMaxNameBytes = 255;

std::string FieldList(const UploadReport& request) {
  std::string list;
  for (const std::string& name : request.fields_found) {
    if (!list.empty()) list += ", ";
    list += "\"" + name + "\"";
  }
  if (request.more_fields_found) list += " and more";
  return list;
}

std::string StoredMessage(const FileReport& file) {
  const std::string stored = file.outcome ? file.outcome->text : "";
  const std::string client = std::string(StoredPartOfClientName(file.client_name));
  std::string text = "Stored as " + stored;
  if (file.outcome && file.outcome->replaced) {
    text += ", replacing the file that was there";
  } else if (!client.empty() && client != stored) {
    text += ", because a file named " + client + " was already there";
  }
  if (file.empty) text += "; the file is empty (0 bytes)";
  return text + ".";
}

std::string TakenMessage(const FileReport& file, const UploadReport& request) {
  std::string text = "A file named " + ClientName(file) + " is already there.";
  const bool keep_both = Allows(request, "makeunique");
  const bool replace = Allows(request, "overwrite");
  if (keep_both) text += " Choose Keep both to store yours beside it";
  if (replace) text += keep_both ? ", or Replace to overwrite it" : " Choose Replace to overwrite it";
  return text + (keep_both || replace ? "." : " Rename your file and upload it again.");
}

std::string TooLongToNumberMessage(const FileReport& file, const UploadReport& request) {
  std::string text = "A file named " + ClientName(file) +
                     " is already there, and the name is too long to number: a numbered name would pass the " +
                     std::to_string(kMaxNameBytes) +
                     "-byte limit. Rename your file to a shorter name and upload it again";
  if (Allows(request, "overwrite")) text += ", or choose Replace to overwrite the file there";
  return text + ".";
}

std::string MissingMessage(const FileReport& file, const UploadReport& request) {
  const std::string field = file.field.empty() ? "upload1" : file.field;
  std::string text = "The form has no file field named " + field;
  if (request.fields_found.empty()) {
    text += ".";
  } else {
    text += "; the fields it has are " + FieldList(request) + ".";
  }
  return text + " Send the file in a field named " + field + " (more files: upload2 to upload100), e.g. curl -F " +
         field + "=@FILE.";
}

std::string FaultMessage(RuntimeError fault) {
  if (fault == RuntimeError::kOverflow) {
    return "A number in the form was too large for the server to read. Check the form and retry.";
  }
  if (fault == RuntimeError::kSubscriptOutOfRange) {
    return "The server could not read the form the browser sent: it looks cut off. Retry.";
  }
  return "The server's upload component stopped on this request. Retry; if it keeps happening, " +
         std::string(kTellOperator) + ".";
}

std::string PlatformMessage(const FileReport& file, std::int32_t code) {
  switch (code) {
    case 53:
      return "The server lost track of the file while writing it. Retry.";
    case 57:
      return "The server's disk reported a read or write error. Retry later, and " + std::string(kTellOperator) +
             " if it keeps happening.";
    case 61:
      return "The server has no space left for this file. Ask whoever runs the server to free some space, then retry.";
    case 67:
      return "The server has too many files open right now. Wait a moment and retry.";
    case 70:
      return "The server is not allowed to write into its upload folder. Ask whoever runs the server to check its "
             "permissions.";
    case 75:
      return "The server could not create a file named " + ClientName(file) + ". Try a shorter or simpler name.";
    case 76:
      return "The server's upload folder is missing. Ask whoever runs the server to check it.";
    default:
      return "The server could not store the file (error " + std::to_string(code) + "). Retry later; if it keeps " +
             "happening, " + kTellOperator + ".";
  }
}

}  // namespace

bool Allows(const UploadReport& request, const char* choice) {
  return std::find(request.client_choices.begin(), request.client_choices.end(), choice) !=
         request.client_choices.end();
}

// The name the client gave, without a Windows path; "the file" when none.
std::string ClientName(const FileReport& file) {
  const std::string_view name = StoredPartOfClientName(file.client_name);
  return name.empty() ? std::string("the file") : std::string(name);
}

// A 75 under "makeunique" for a name that fits: the name was taken, and
// no numbered form of it fits. Keep both can never work for it.
bool TooLongToNumber(const FileReport& file) {
  return file.conflict == "makeunique" && file.outcome && file.outcome->platform_errno == ENAMETOOLONG &&
         StoredPartOfClientName(file.client_name).size() <= kMaxNameBytes;
}

std::string PlainMessage(const FileReport& file, const UploadReport& request) {
  if (file.refusal) {
    if (file.refusal->kind == RefusalKind::kHiddenName) {
      return ClientName(file) +
             " starts with a dot, and hidden names are not accepted. Rename the file and upload "
             "it again.";
    }
    return file.refusal->message;
  }
  if (file.Faulted()) return FaultMessage(file.Fault());
  if (!file.outcome) {
    return "The server answered without a result. Retry; if it keeps happening, " + std::string(kTellOperator) + ".";
  }
  const std::int32_t code = file.outcome->code;
  switch (code) {
    case 0:
      return StoredMessage(file);
    case 101:
    case 102:
      return MissingMessage(file, request);
    case 103:
      return "The field " + file.field +
             " holds no file: no file name was sent with it. Send a file in it, e.g. "
             "curl -F " +
             file.field + "=@FILE.";
    case 104:
      if (file.skipped) return "No file was chosen for " + file.field + "; it was skipped.";
      if (file.unchosen) return "No file was chosen. Choose a file and upload again.";
      if (StoredPartOfClientName(file.client_name).empty()) {
        return "The file was sent without a name. Pick the file again and retry.";
      }
      return "The server cannot use the name " + ClientName(file) +
             ". Rename the file (letters, digits, no slashes) and upload it again.";
    case 105:
      return "The contents of " + ClientName(file) + " did not arrive. Retry the upload.";
    case 106:
      return TakenMessage(file, request);
    default:
      if (code == 75 && TooLongToNumber(file)) return TooLongToNumberMessage(file, request);
      return PlatformMessage(file, code);
  }
}

}  // namespace zimrax::zmfile
