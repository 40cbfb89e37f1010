// Where a hook goes, as --hook-pre or --hook-post names it: an http:// or
// https:// URL the document is POSTed to, or else a command (split by
// SplitHookCommand) that reads it on its standard input. One run gives a
// verdict.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_TARGET_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_TARGET_H_

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "server/hook_http.h"

namespace zimrax::zmfile {

struct HookVerdict {
  bool accepted = false;
  // The hook's own message (HookMessage: first line of its standard error
  // or of its answer's body); "" when it gave none.
  std::string message;
  // Why it did not accept, for the log and for a client when the hook gave
  // no message: "exit 3", "timed out after 10 s", "killed by signal 11",
  // "HTTP 500", "unreachable: ...". "" when accepted.
  std::string reason;
  // The hook did not answer (timeout, crash, unreachable, not started),
  // rather than refused.
  bool failed = false;
};

class HookTarget {
 public:
  // The target `text` names, or nullopt with the reason in *why.
  static std::optional<HookTarget> Parse(const std::string& text, std::string* why);

  bool is_http() const { return std::holds_alternative<HookUrl>(where_); }
  const std::string& text() const { return text_; }

  // Runs the hook once with `json`: a command also gets `variables`
  // ("ZMFILE_..." names and their values) beside PATH in its environment,
  // and `data_fd` (unless -1) as its descriptor 3, read from the start.
  // It has until `deadline`.
  HookVerdict Run(const std::string& json, const std::map<std::string, std::string>& variables,
                  std::chrono::steady_clock::time_point deadline, int data_fd = -1) const;

 private:
  std::string text_;
  std::variant<std::vector<std::string>, HookUrl> where_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_TARGET_H_
