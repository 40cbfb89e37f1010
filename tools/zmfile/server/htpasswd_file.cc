#include "server/htpasswd_file.h"

#include <crypt.h>

#include <array>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace zimrax::zmfile {
namespace {

// The crypt(3) prefixes accepted: bcrypt, SHA-256/512-crypt, yescrypt.
constexpr std::array<std::string_view, 6> kStrongPrefixes = {"$2y$", "$2b$", "$2a$", "$5$", "$6$", "$y$"};

constexpr const char* kAdvice = "make one with `htpasswd -B FILE USER` (bcrypt) or `openssl passwd -6` (SHA-512-crypt)";

// What kind of hash a refused one looks like, for the message.
std::string HashKind(const std::string& hash) {
  if (hash.starts_with("$apr1$")) return "an Apache MD5 ($apr1$) hash";
  if (hash.starts_with("{SHA}")) return "an unsalted SHA-1 ({SHA}) hash";
  if (hash.starts_with("$1$")) return "an MD5-crypt ($1$) hash";
  if (hash.size() == 13 && hash.find('$') == std::string::npos) return "a DES crypt hash or a plain password";
  return "a hash libcrypt cannot check safely, or a plain password";
}

}  // namespace

bool IsCheckableHash(const std::string& hash) {
  bool known = false;
  for (const std::string_view prefix : kStrongPrefixes) known = known || hash.starts_with(prefix);
  return known && crypt_checksalt(hash.c_str()) == CRYPT_SALT_OK;
}

HtpasswdFile ParseHtpasswd(std::string_view text, const std::string& file_name) {
  HtpasswdFile file;
  std::map<std::string, int> seen;
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos || line.starts_with('#')) continue;
    const std::string where = file_name + ":" + std::to_string(number) + ": ";
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      file.error = where + "not a \"user:hash\" line; " + kAdvice;
      return file;
    }
    HtpasswdEntry entry{std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)), number};
    if (entry.user.empty()) {
      file.error = where + "the user name is empty";
      return file;
    }
    if (!IsCheckableHash(entry.hash)) {
      file.error = where + "user \"" + entry.user + "\" has " + HashKind(entry.hash) +
                   "; zmfile serve accepts bcrypt, SHA-crypt and yescrypt: " + kAdvice;
      return file;
    }
    if (const auto [at, fresh] = seen.emplace(entry.user, number); !fresh) {
      file.error = where + "user \"" + entry.user + "\" is already given on line " + std::to_string(at->second);
      return file;
    }
    file.entries.push_back(std::move(entry));
  }
  return file;
}

HtpasswdFile LoadHtpasswd(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    HtpasswdFile file;
    file.error = path + ": cannot be read; " + kAdvice;
    return file;
  }
  HtpasswdFile file = ParseHtpasswd(text.str(), path);
  if (file.error.empty() && file.entries.empty()) file.error = path + ": names no user; " + kAdvice;
  return file;
}

}  // namespace zimrax::zmfile
