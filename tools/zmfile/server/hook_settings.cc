#include "server/hook_settings.h"

namespace zimrax::zmfile {

std::optional<HookSettings> ParseHookSettings(const ServeOptions& options, std::string* why) {
  HookSettings settings;
  std::string reason;
  if (!options.hook_pre.empty()) {
    settings.pre = HookTarget::Parse(options.hook_pre, &reason);
    if (!settings.pre) {
      *why = "--hook-pre " + options.hook_pre + ": " + reason;
      return std::nullopt;
    }
  }
  if (!options.hook_post.empty()) {
    settings.post = HookTarget::Parse(options.hook_post, &reason);
    if (!settings.post) {
      *why = "--hook-post " + options.hook_post + ": " + reason;
      return std::nullopt;
    }
  }
  settings.timeout = std::chrono::seconds(options.hook_timeout);
  settings.pre_budget = std::chrono::seconds(options.hook_pre_total);
  if (options.hook_pre_data && (!settings.pre || settings.pre->is_http())) {
    *why = "--hook-pre-data gives the file's bytes to a command --hook-pre: there is none";
    return std::nullopt;
  }
  settings.pre_data = options.hook_pre_data;
  settings.post_limits.queue = options.hook_post_queue;
  settings.post_limits.workers = options.hook_post_workers;
  settings.post_limits.retries = options.hook_post_retries;
  settings.post_limits.timeout = settings.timeout;
  return settings;
}

}  // namespace zimrax::zmfile
