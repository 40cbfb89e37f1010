// Which files --allow-types, --deny-types and --strict-types accept: by
// the extension of the stored name, and by the type libmagic reads in the
// content.
//
// A list is comma-separated entries, each an extension with its dot
// (".pdf") or a media type ("image/png", or "image/*" for all of image/),
// any case. A file passes --allow-types when its extension is among the
// list's extensions (if it names any) and its content's type among the
// list's types (if it names any); --deny-types refuses it when either
// matches. --strict-types refuses a file whose content's type is not one
// that /etc/mime.types gives its extension.
#ifndef ZIMRAX_TOOLS_ZMFILE_RULES_TYPE_RULES_H_
#define ZIMRAX_TOOLS_ZMFILE_RULES_TYPE_RULES_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime_types.h"

namespace zimrax::zmfile {

struct TypeList {
  std::vector<std::string> extensions;  // lower case, without the dot
  std::vector<std::string> types;       // lower case; "image/*" kept as is
  bool empty() const { return extensions.empty() && types.empty(); }
};

// The list in `text` ("" gives an empty list); nullopt, with *why naming
// the entry, for an entry that is neither ".ext" nor "type/subtype".
std::optional<TypeList> ParseTypeList(std::string_view text, std::string* why);

struct TypeRules {
  TypeList allow;
  TypeList deny;
  bool strict = false;  // refuse content that contradicts the extension
  // The table --strict-types compares with; loaded only when strict.
  std::optional<MimeTypes> table;

  bool empty() const { return allow.empty() && deny.empty() && !strict; }
  // True when a rule needs the content's type (libmagic).
  bool NeedsContentType() const { return !allow.types.empty() || !deny.types.empty() || strict; }
};

// The extension of a stored name: lower case, without the dot; "" for a
// name without one ("README", ".profile", "name.").
std::string ExtensionOf(std::string_view stored_name);

// Why `rules` refuse a file with `extension` (as ExtensionOf gives it)
// whose content libmagic read as `content_type` ("" when it was not read
// or libmagic failed: then a rule on types refuses, as nothing shows the
// file is allowed). A sentence for the client; nullopt when the file passes.
std::optional<std::string> TypeRefusal(const TypeRules& rules, std::string_view extension,
                                       std::string_view content_type);

// The part of TypeRefusal that the content's type decides alone (the
// allow and deny lists' media types): for a refusal as soon as the first
// bytes are read, before the file's name is known.
std::optional<std::string> ContentTypeRefusal(const TypeRules& rules, std::string_view content_type);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_RULES_TYPE_RULES_H_
