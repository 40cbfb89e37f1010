// Which names the server will store under or serve: one plain name inside
// the upload directory, never a path.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_NAME_RULES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_NAME_RULES_H_

#include <string_view>

namespace zimrax::zmfile {

// True when `name` is non-empty, is not "." or "..", and holds no "/", no
// "\" and no control character (NUL included).
bool IsPlainFileName(std::string_view name);

// The part of a browser's file name that the component stores under: what
// follows its last backslash (the whole name when it has none).
std::string_view StoredPartOfClientName(std::string_view client_name);

// True when the component may be given the upload of `client_name`: its
// stored part is empty (the component reports that itself) or plain.
bool IsAcceptableClientName(std::string_view client_name);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_NAME_RULES_H_
