#include "server/htpasswd_file.h"

#include <crypt.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <utility>

namespace zimrax::zmfile {
namespace {

// crypt(3)'s base-64 alphabet.
bool IsHashText(std::string_view text, std::size_t size) {
  if (text.size() != size) return false;
  for (const char c : text) {
    const bool ok = c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!ok) return false;
  }
  return true;
}

bool IsDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The '$'-separated fields of a hash ("$6$salt$x": "", "6", "salt", "x").
std::vector<std::string_view> Fields(std::string_view hash) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t next = hash.find('$', at);
    fields.push_back(hash.substr(at, next - at));
    if (next == std::string_view::npos) return fields;
    at = next + 1;
  }
}

// The whole form of each accepted hash: libcrypt checks only the settings,
// and a cut or mangled hash would refuse its user's every password.
bool HasStrongForm(std::string_view hash) {
  const std::vector<std::string_view> f = Fields(hash);
  if (f.size() < 4 || !f[0].empty()) return false;
  // bcrypt: $2y$CC$ then 22 salt and 31 hash characters.
  if (f[1] == "2a" || f[1] == "2b" || f[1] == "2y") {
    return f.size() == 4 && f[2].size() == 2 && IsDigits(f[2]) && IsHashText(f[3], 53);
  }
  // SHA-crypt: $5$ or $6$, optional rounds=N$, a salt of up to 16, then 43 or 86 characters.
  if (f[1] == "5" || f[1] == "6") {
    std::size_t salt = 2;
    if (f[2].starts_with("rounds=")) {
      if (!IsDigits(f[2].substr(7))) return false;
      salt = 3;
    }
    return f.size() == salt + 2 && f[salt].size() <= 16 && f[salt].find(':') == std::string_view::npos &&
           IsHashText(f[salt + 1], f[1] == "5" ? 43 : 86);
  }
  // yescrypt: $y$ parameters $ salt $ 43 characters.
  if (f[1] == "y") {
    return f.size() == 5 && IsHashText(f[2], f[2].size()) && !f[2].empty() && IsHashText(f[3], f[3].size()) &&
           !f[3].empty() && IsHashText(f[4], 43);
  }
  return false;
}

constexpr const char* kAdvice = "make one with `htpasswd -B FILE USER` (bcrypt) or `openssl passwd -6` (SHA-512-crypt)";

// What kind of hash a refused one looks like, for the message.
std::string HashKind(const std::string& hash) {
  if (hash.starts_with("$apr1$")) return "an Apache MD5 ($apr1$) hash";
  if (hash.starts_with("{SHA}")) return "an unsalted SHA-1 ({SHA}) hash";
  if (hash.starts_with("$1$")) return "an MD5-crypt ($1$) hash";
  if (hash.size() == 13 && hash.find('$') == std::string::npos) return "a DES crypt hash or a plain password";
  if (hash.starts_with("$2") || hash.starts_with("$5$") || hash.starts_with("$6$") || hash.starts_with("$y$")) {
    return "a hash that is cut short or malformed";
  }
  return "a hash libcrypt cannot check safely, or a plain password";
}

// A file with an error holds no user: none of its lines is trusted.
HtpasswdFile Refused(std::string error) {
  HtpasswdFile file;
  file.error = std::move(error);
  return file;
}

}  // namespace

bool IsCheckableHash(const std::string& hash) {
  if (!HasStrongForm(hash)) return false;
  const int verdict = crypt_checksalt(hash.c_str());
  // SHA-256-crypt counts as legacy in Debian's libcrypt, yet it is the
  // same design as SHA-512-crypt, which it holds for strong.
  return verdict == CRYPT_SALT_OK || (verdict == CRYPT_SALT_METHOD_LEGACY && hash.starts_with("$5$"));
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
      return Refused(where + "not a \"user:hash\" line; " + kAdvice);
    }
    HtpasswdEntry entry{std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)), number};
    if (entry.user.empty()) {
      return Refused(where + "the user name is empty");
    }
    if (!IsCheckableHash(entry.hash)) {
      return Refused(where + "user \"" + entry.user + "\" has " + HashKind(entry.hash) +
                     "; zmfile serve accepts bcrypt, SHA-crypt and yescrypt: " + kAdvice);
    }
    if (const auto [at, fresh] = seen.emplace(entry.user, number); !fresh) {
      return Refused(where + "user \"" + entry.user + "\" is already given on line " + std::to_string(at->second));
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
