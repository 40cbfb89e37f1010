#include "server/conflict_choices.h"

#include <algorithm>
#include <cctype>

#include "server/ascii_text.h"

namespace zimrax::zmfile {
namespace {

constexpr const char* kPolicies[] = {"error", "overwrite", "makeunique"};

bool IsPolicy(const std::string& name) {
  return std::any_of(std::begin(kPolicies), std::end(kPolicies), [&](const char* p) { return name == p; });
}

// Client text in a message: printable ASCII only.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  return out;
}

}  // namespace

std::optional<std::vector<std::string>> ParseConflictChoices(std::string_view text, std::string* why) {
  std::vector<std::string> named;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    std::string_view piece = text.substr(start, comma - start);
    const auto first = piece.find_first_not_of(" \t");
    piece = first == std::string_view::npos ? std::string_view() : piece.substr(first);
    piece = piece.substr(0, piece.find_last_not_of(" \t") + 1);
    const std::string name = Lowered(piece);
    if (!IsPolicy(name)) {
      std::string reason = "an empty name in the list";
      if (!name.empty()) reason.assign("\"").append(Printable(name)).append("\" is not a policy");
      *why = reason.append(" (name one or more of error, overwrite, makeunique, separated by commas)");
      return std::nullopt;
    }
    named.push_back(name);
    if (comma == text.size()) break;
    start = comma + 1;
  }
  std::vector<std::string> choices;
  for (const char* policy : kPolicies) {
    if (std::find(named.begin(), named.end(), policy) != named.end()) choices.emplace_back(policy);
  }
  return choices;
}

std::string ChoicesText(const std::vector<std::string>& choices) {
  std::string text;
  for (const std::string& choice : choices) text += (text.empty() ? "" : ", ") + choice;
  return text;
}

std::optional<std::string> RefusedConflictChoice(const std::string& chosen, const std::vector<std::string>& allowed) {
  const std::string policy = Lowered(chosen);
  if (std::find(allowed.begin(), allowed.end(), policy) != allowed.end()) return std::nullopt;
  const std::string shown = "conflict=" + Printable(chosen);
  if (!IsPolicy(policy)) return shown + " is not a conflict policy; allowed: " + ChoicesText(allowed);
  return shown + " is not allowed by this server; allowed: " + ChoicesText(allowed);
}

}  // namespace zimrax::zmfile
