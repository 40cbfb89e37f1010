#include "server/serve_config.h"

#include <utility>

#include "server/bind_policy.h"
#include "server/conflict_choices.h"
#include "content_sniffer.h"

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
  std::optional<UploadRules> rules = ParseUploadRules(options, why);
  if (!rules || !CheckUploadRules(*rules, why)) return std::nullopt;
  config.rules = std::move(*rules);
  std::optional<HookSettings> hooks = ParseHookSettings(options, why);
  if (!hooks) return std::nullopt;
  config.hooks = std::move(*hooks);
  // A hook is told each file's digest and content type.
  if (config.hooks.any()) {
    config.rules.RequireDigest();
    config.rules.RequireContentType();
    if (!CheckUploadRules(config.rules, why)) return std::nullopt;
  }
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

std::optional<UploadRules> ParseUploadRules(const ServeOptions& options, std::string* why) {
  UploadRules rules;
  rules.max_file_size = options.max_file_size;
  rules.max_files = options.max_files;
  rules.digest = options.digest == "sha256";
  std::string reason;
  std::optional<TypeList> allow = ParseTypeList(options.allow_types, &reason);
  if (!allow) {
    *why = "--allow-types " + options.allow_types + ": " + reason;
    return std::nullopt;
  }
  std::optional<TypeList> deny = ParseTypeList(options.deny_types, &reason);
  if (!deny) {
    *why = "--deny-types " + options.deny_types + ": " + reason;
    return std::nullopt;
  }
  rules.types.allow = std::move(*allow);
  rules.types.deny = std::move(*deny);
  rules.types.strict = options.strict_types;
  if (rules.types.strict) {
    rules.types.table = MimeTypes::Load(kSystemMimeTypes, &reason);
    if (!rules.types.table) {
      *why = "--strict-types: " + reason;
      return std::nullopt;
    }
  }
  return rules;
}

bool CheckUploadRules(const UploadRules& rules, std::string* why) {
  std::string reason;
  if (rules.SniffsContent() && !ContentSnifferWorks(&reason)) {
    *why = "the file type rules need " + reason;
    return false;
  }
  return true;
}

}  // namespace zimrax::zmfile
