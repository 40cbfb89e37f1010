// The hook options parsed: where each hook goes and its limits.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_SETTINGS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_SETTINGS_H_

#include <chrono>
#include <optional>
#include <string>

#include "server/hook_target.h"
#include "server/post_hook_queue.h"
#include "server/serve_options.h"

namespace zimrax::zmfile {

struct HookSettings {
  std::optional<HookTarget> pre;
  std::optional<HookTarget> post;
  std::chrono::steady_clock::duration timeout = std::chrono::seconds(10);     // one run
  std::chrono::steady_clock::duration pre_budget = std::chrono::seconds(30);  // one request's pre-hooks together
  bool pre_data = false;  // a command pre-hook gets each file's bytes on descriptor 3
  PostHookLimits post_limits;

  bool any() const { return pre || post; }
};

// The settings of --hook-*, or nullopt with the reason in *why (a sentence
// naming the option): a command that does not split, a bad URL.
std::optional<HookSettings> ParseHookSettings(const ServeOptions& options, std::string* why);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_SETTINGS_H_
