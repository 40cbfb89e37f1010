// The server's options parsed once: the command line's settings with the
// policies a form may choose and the public URLs in their parsed form.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_CONFIG_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_CONFIG_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "server/hook_settings.h"
#include "server/public_url.h"
#include "server/serve_options.h"
#include "server/upload_rules.h"

namespace zimrax::zmfile {

struct ServeConfig {
  ServeOptions options;
  std::vector<std::string> client_conflicts;  // --client-conflict, parsed (lower case, each once)
  std::vector<PublicUrl> public_urls;         // --public-url, parsed, in the order given
  HookSettings hooks;                         // --hook-*, parsed
  UploadRules rules;                          // --max-file-size, --max-files, the type lists, --digest
  // Test seam: runs just before each upload's Finish, on the thread that
  // runs it. Empty outside tests.
  std::function<void()> before_finish_for_testing;
};

// Parses what the command line cannot check alone. Returns nullopt, with
// the reason in *why (a sentence that names the option), when the server
// must not start: a --client-conflict, --public-url, --allow-types or
// --deny-types that does not parse, a host beyond loopback without a public
// URL, or rules that need libmagic or /etc/mime.types when they do not load.
// Code that needs every file's digest or content type (hooks) turns it on
// with config.rules.RequireDigest() / RequireContentType(), then checks
// with CheckUploadRules.
std::optional<ServeConfig> ParseServeConfig(const ServeOptions& options, std::string* why);

// The upload rules of `options`; nullopt, with *why, when they do not parse.
std::optional<UploadRules> ParseUploadRules(const ServeOptions& options, std::string* why);

// False, with *why, when `rules` need libmagic (a type rule, or a content
// type required) and it does not load here.
bool CheckUploadRules(const UploadRules& rules, std::string* why);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_CONFIG_H_
