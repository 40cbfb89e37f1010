#include "serve_hook_options.h"

namespace zimrax::zmfile {

void AddServeHookOptions(CLI::App& command, ServeOptions& options) {
  command.add_option("--hook-pre", options.hook_pre,
                     "Before each file is published: a command (JSON on stdin; exit 0 accepts) or an http(s):// URL "
                     "(POSTed JSON; 2xx accepts); otherwise the file gets 403 and the hook's first line");
  command.add_option("--hook-post", options.hook_post,
                     "After each file is stored: a command or an http(s):// URL told of it, off the request path");
  command.add_option("--hook-timeout", options.hook_timeout, "Seconds one run of a hook may take; then it is killed")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  command
      .add_option("--hook-pre-total", options.hook_pre_total,
                  "Seconds all pre-hook runs of one request may take together; files past it are refused")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  command.add_flag("--hook-pre-data", options.hook_pre_data,
                   "Give a command --hook-pre each file's bytes on descriptor 3 (copied beside the upload: twice "
                   "the disk writes)");
  command
      .add_option("--hook-post-queue", options.hook_post_queue,
                  "Post-hook notices waiting to be sent; past it a notice is logged and dropped")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20))
      ->capture_default_str();
  command.add_option("--hook-post-workers", options.hook_post_workers, "Post-hook notices sent at once")
      ->check(CLI::Range(1, 256))
      ->capture_default_str();
  command
      .add_option("--hook-post-retries", options.hook_post_retries,
                  "Further attempts of a failed HTTP post-hook, 1 s, 2 s, 4 s ... apart")
      ->check(CLI::Range(0, 20))
      ->capture_default_str();
}

}  // namespace zimrax::zmfile
