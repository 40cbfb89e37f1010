// The users of `zmfile serve --htpasswd FILE`: Apache htpasswd lines
// "user:hash", with hashes that libcrypt checks (bcrypt, SHA-crypt,
// yescrypt). Weaker or foreign hashes are refused when the file is read, so
// that a server never starts with a user it cannot check safely.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HTPASSWD_FILE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HTPASSWD_FILE_H_

#include <string>
#include <string_view>
#include <vector>

namespace zimrax::zmfile {

struct HtpasswdEntry {
  std::string user;
  std::string hash;  // crypt(3) form: "$2y$10$...", "$6$salt$...", "$y$..."
  int line = 0;      // 1-based, for messages
};

struct HtpasswdFile {
  std::vector<HtpasswdEntry> entries;
  std::string error;  // "" when every line was usable; else why, naming the file and line
};

// Parses htpasswd text; `file_name` only names the file in the error. Blank
// lines and lines starting with '#' are skipped; a CR before the line end
// is dropped. Returns the first error found (an empty user, a line without
// ':', a user given twice, a hash libcrypt cannot check safely), or the
// entries when there is none.
HtpasswdFile ParseHtpasswd(std::string_view text, const std::string& file_name);

// Reads and parses `path`. Returns an error as ParseHtpasswd, or when the
// file cannot be read or names no user.
HtpasswdFile LoadHtpasswd(const std::string& path);

// True when `hash` is a whole bcrypt, SHA-crypt or yescrypt hash and
// libcrypt's crypt_checksalt() holds its method for strong (SHA-256-crypt,
// which it calls legacy, is accepted as well).
bool IsCheckableHash(const std::string& hash);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HTPASSWD_FILE_H_
