#include "type_rules.h"

#include <algorithm>

#include "ascii_lower.h"

namespace zimrax::zmfile {
namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == '_';
}

bool IsToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar); }

bool Contains(const std::vector<std::string>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// `type` matches "type/subtype" exactly, or "type/*" by its top level.
bool MatchesAny(const std::vector<std::string>& patterns, std::string_view type) {
  return std::any_of(patterns.begin(), patterns.end(), [type](const std::string& pattern) {
    if (pattern.ends_with("/*")) return type.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1));
    return type == pattern;
  });
}

std::string Listed(const TypeList& list) {
  std::string text;
  for (const std::string& extension : list.extensions) text += (text.empty() ? "." : ", .") + extension;
  for (const std::string& type : list.types) text += (text.empty() ? "" : ", ") + type;
  return text;
}

std::string Named(std::string_view extension) {
  return extension.empty() ? std::string("Files without an extension are")
                           : "Files ending in ." + std::string(extension) + " are";
}

// libmagic's answers that tell nothing about a type: no rule matched, or no bytes.
bool IsUndecided(std::string_view type) {
  return type == "application/octet-stream" || type == "application/x-empty" || type == "inode/x-empty";
}

// True when `type` is a text format: libmagic calls such content text/plain
// when it knows no more precise name.
bool IsTextual(std::string_view type) {
  return type.starts_with("text/") || type.ends_with("+xml") || type.ends_with("+json") ||
         type == "application/json" || type == "application/xml" || type == "application/javascript";
}

// The content's type is not one the table gives the extension. An
// extension the table does not know has nothing to contradict.
bool Contradicts(const MimeTypes& table, std::string_view extension, std::string_view content_type) {
  const std::vector<std::string>& expected = table.TypesOf(extension);
  if (expected.empty() || IsUndecided(content_type) || Contains(expected, content_type)) return false;
  if (content_type == "text/plain") return std::none_of(expected.begin(), expected.end(), IsTextual);
  return true;
}

}  // namespace

std::optional<TypeList> ParseTypeList(std::string_view text, std::string* why) {
  TypeList list;
  while (!text.empty()) {
    const std::size_t comma = std::min(text.find(','), text.size());
    const std::string entry = AsciiLower(Trimmed(text.substr(0, comma)));
    text.remove_prefix(std::min(comma + 1, text.size()));
    if (entry.empty()) continue;
    const std::size_t slash = entry.find('/');
    if (entry.front() == '.' && IsToken(std::string_view(entry).substr(1)) && entry.find('.', 1) == std::string::npos) {
      if (!Contains(list.extensions, entry.substr(1))) list.extensions.push_back(entry.substr(1));
    } else if (slash != std::string::npos && IsToken(std::string_view(entry).substr(0, slash)) &&
               (entry.substr(slash + 1) == "*" || IsToken(std::string_view(entry).substr(slash + 1)))) {
      if (!Contains(list.types, entry)) list.types.push_back(entry);
    } else {
      *why = "\"" + entry + "\" is neither an extension with its dot (.pdf) nor a media type (image/png, image/*)";
      return std::nullopt;
    }
  }
  return list;
}

std::string ExtensionOf(std::string_view stored_name) {
  const std::size_t dot = stored_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == stored_name.size()) return {};
  return AsciiLower(stored_name.substr(dot + 1));
}

std::optional<std::string> ContentTypeRefusal(const TypeRules& rules, std::string_view content_type) {
  if (!rules.allow.types.empty() || !rules.deny.types.empty()) {
    if (content_type.empty()) return "The file's content could not be checked, so it is not accepted.";
  }
  const std::string content(content_type);
  if (!rules.allow.types.empty() && !MatchesAny(rules.allow.types, content_type)) {
    return "The file's content is " + content + ", which is not accepted here; accepted: " + Listed(rules.allow) +
           ".";
  }
  if (MatchesAny(rules.deny.types, content_type)) {
    return "The file's content is " + content + ", which is not accepted here.";
  }
  return std::nullopt;
}

std::optional<std::string> TypeRefusal(const TypeRules& rules, std::string_view extension,
                                       std::string_view content_type) {
  if (!rules.allow.extensions.empty() && !Contains(rules.allow.extensions, extension)) {
    return Named(extension) + " not accepted here; accepted: " + Listed(rules.allow) + ".";
  }
  if (Contains(rules.deny.extensions, extension)) return Named(extension) + " not accepted here.";
  if (rules.NeedsContentType() && content_type.empty()) {
    return "The file's content could not be checked, so it is not accepted.";
  }
  if (std::optional<std::string> refused = ContentTypeRefusal(rules, content_type)) return refused;
  if (rules.strict && rules.table && Contradicts(*rules.table, extension, content_type)) {
    return "The file's content is " + std::string(content_type) + ", which does not match its extension ." +
           std::string(extension) + ". Send it under a name that says what it is.";
  }
  return std::nullopt;
}

}  // namespace zimrax::zmfile
