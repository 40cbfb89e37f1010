#include "server/htpasswd_file.h"

#include <crypt.h>

#include <array>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

namespace zimrax::zmfile {
namespace {

// The whole form of each accepted hash: libcrypt checks only the settings,
// and a cut or mangled hash would refuse its user's every password.
const std::array<std::regex, 3>& StrongForms() {
  static const std::array<std::regex, 3> forms = {
      // bcrypt: cost, 22 salt and 31 hash characters.
      std::regex(R"(\$2[aby]\$[0-3][0-9]\$[./A-Za-z0-9]{53})"),
      // SHA-256/512-crypt: optional rounds, salt of up to 16, 43 or 86 hash characters.
      std::regex(
          R"(\$5\$(rounds=[0-9]+\$)?[^$:]{0,16}\$[./A-Za-z0-9]{43}|\$6\$(rounds=[0-9]+\$)?[^$:]{0,16}\$[./A-Za-z0-9]{86})"),
      // yescrypt: parameters, salt, 43 hash characters.
      std::regex(R"(\$y\$[./A-Za-z0-9]+\$[./A-Za-z0-9]+\$[./A-Za-z0-9]{43})"),
  };
  return forms;
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

}  // namespace

bool IsCheckableHash(const std::string& hash) {
  bool whole = false;
  for (const std::regex& form : StrongForms()) whole = whole || std::regex_match(hash, form);
  if (!whole) return false;
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
