#include "server/api_messages.h"

#include <algorithm>
#include <optional>

#include "server/file_name_rules.h"
#include "server/result_messages.h"

namespace zimrax::zmfile {
namespace {

std::string TakenMessage(const FileReport& file, const UploadReport& request) {
  std::string text = "A file named " + ClientName(file) + " is already there (ErrorCode 106).";
  const bool keep_both = Allows(request, "makeunique");
  const bool replace = Allows(request, "overwrite");
  if (keep_both) text += " Send conflict=makeunique to store yours under a numbered name";
  if (replace) text += keep_both ? ", or conflict=overwrite to replace it" : " Send conflict=overwrite to replace it";
  return text + (keep_both || replace ? "." : " Send the file under another name.");
}

std::optional<std::int32_t> CodeOf(const FileReport& file) {
  if (!file.HasCode()) return std::nullopt;
  return file.outcome->code;
}

}  // namespace

std::string ApiMessage(const FileReport& file, const UploadReport& request) {
  if (file.refusal && file.refusal->kind == RefusalKind::kHiddenName) {
    return ClientName(file) + " starts with a dot, and hidden names are not accepted. Send the file under a name "
                              "that does not start with a dot.";
  }
  const std::optional<std::int32_t> code = CodeOf(file);
  if (code == 106) return TakenMessage(file, request);
  if (code == 75 && TooLongToNumber(file)) {
    return "A file named " + ClientName(file) +
           " is already there, and conflict=makeunique cannot number it (ErrorCode 75): a numbered name would pass "
           "255 bytes. Send the file under a shorter name" +
           (Allows(request, "overwrite") ? std::string(", or conflict=overwrite to replace it.") : std::string("."));
  }
  if (code == 104) {
    if (file.skipped) {
      return "No file was chosen for " + file.field + " (an empty filename and no data); it was skipped.";
    }
    if (file.unchosen) {
      return "No file was chosen: " + file.field +
             " came with an empty filename and no data (ErrorCode 104), and no other file field holds a file. "
             "Send a file, e.g. curl -F " + file.field + "=@FILE.";
    }
    if (StoredPartOfClientName(file.client_name).empty()) {
      return "The file in " + file.field + " was sent without a name (ErrorCode 104). Send it with a filename of "
             "two characters or more.";
    }
    return "The server cannot use the name " + ClientName(file) + " (ErrorCode 104). Send the file under a plain "
           "name: letters, digits, no slashes.";
  }
  return PlainMessage(file, request);
}

}  // namespace zimrax::zmfile
