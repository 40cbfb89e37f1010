// The extension-to-type table of a mime.types file (Debian's media-types
// package installs /etc/mime.types): each line a media type and the file
// name extensions that stand for it.
#ifndef ZIMRAX_TOOLS_ZMFILE_RULES_MIME_TYPES_H_
#define ZIMRAX_TOOLS_ZMFILE_RULES_MIME_TYPES_H_

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zimrax::zmfile {

inline constexpr const char* kSystemMimeTypes = "/etc/mime.types";

class MimeTypes {
 public:
  // The table in `text`: "#" starts a comment; a line is a type followed
  // by its extensions, separated by blanks. Types and extensions are
  // compared in lower case.
  static MimeTypes Parse(std::string_view text);
  // The table in the file `path`; nullopt, with *why, when it cannot be read.
  static std::optional<MimeTypes> Load(const std::string& path, std::string* why);

  // The types listed for `extension` (without the dot, any case), in file
  // order; empty for an extension the table does not know.
  const std::vector<std::string>& TypesOf(std::string_view extension) const;
  std::size_t size() const { return by_extension_.size(); }

 private:
  std::unordered_map<std::string, std::vector<std::string>> by_extension_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_RULES_MIME_TYPES_H_
