// Which names the server will store under or serve: one plain name inside
// the upload directory, never a path.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_NAME_RULES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_NAME_RULES_H_

#include <string_view>

namespace zimrax::zmfile {

// True when `name` is non-empty, is not "." or "..", and holds no "/", no
// "\" and no control character (NUL included).
bool IsPlainFileName(std::string_view name);

// True for the names the listing shows and downloads serve: plain names
// that are not hidden (no leading "."; the component's temporaries are
// hidden files, and so are the server's own files such as .htpasswd).
bool IsListedFileName(std::string_view name);

// What follows the last backslash of a browser's file name: the name part of
// a Windows client path (the whole name when it has none).
std::string_view StoredPartOfClientName(std::string_view client_name);

// True when the upload of `client_name` may go to the component: the part
// after its last backslash is empty (the component reports that itself) or
// a plain name. Anything with "/", a "." or ".." piece, or control bytes is
// an attempt at a path or at the log, and the server refuses it.
bool IsAcceptableClientName(std::string_view client_name);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_NAME_RULES_H_
