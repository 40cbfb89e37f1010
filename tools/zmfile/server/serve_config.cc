#include "server/serve_config.h"

#include <utility>

#include "server/bind_policy.h"
#include "server/conflict_choices.h"

namespace zimrax::zmfile {

std::optional<ServeConfig> ParseServeConfig(const ServeOptions& options, std::string* why) {
  ServeConfig config;
  config.options = options;
  std::string reason;
  std::optional<std::vector<std::string>> choices = ParseConflictChoices(options.client_conflict, &reason);
  if (!choices) {
    *why = "--client-conflict " + options.client_conflict + ": " + reason;
    return std::nullopt;
  }
  config.client_conflicts = std::move(*choices);
  for (const std::string& text : options.public_urls) {
    std::optional<PublicUrl> url = ParsePublicUrl(text, &reason);
    if (!url) {
      *why = "--public-url " + text + ": " + reason;
      return std::nullopt;
    }
    config.public_urls.push_back(std::move(*url));
  }
  std::optional<HookSettings> hooks = ParseHookSettings(options, why);
  if (!hooks) return std::nullopt;
  config.hooks = std::move(*hooks);
  // Off loopback, browsers reach the server under a name the server must
  // know to tell its own pages and Host headers from another site's.
  if (!IsLoopbackHost(options.host) && config.public_urls.empty()) {
    *why = "--host " + options.host +
           " is not a loopback address: say where clients reach the server with --public-url "
           "(for example --public-url " + (options.tls_cert.empty() ? "http" : "https") +
           "://files.example.org:" +
           std::to_string(options.port == 0 ? 8080 : options.port) + "/)";
    return std::nullopt;
  }
  return config;
}

}  // namespace zimrax::zmfile
