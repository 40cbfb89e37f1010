// The entry point of the server module (zmfile-serve.so), which `zmfile
// serve` loads at run time: the HTTP server stays out of every other zmfile
// command's start-up.
#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "exit_status.h"
#include "zimrax/abandoned_temp_files.h"
#include "server/authenticator.h"
#include "server/bind_policy.h"
#include "server/config_origin.h"
#include "server/htpasswd_file.h"
#include "server/public_url.h"
#include "server/staging_sweeper.h"
#include "server/serve_config.h"
#include "server/serve_entry.h"
#include "server/tls_context.h"
#include "server/upload_server.h"

namespace zimrax::zmfile {
namespace {

// Creates `dir` when missing and makes it absolute. Returns "" and prints
// why on failure.
std::string PrepareDirectory(const std::string& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::cerr << "zmfile serve: cannot create " << dir << ": " << error.message() << '\n';
    return {};
  }
  const std::filesystem::path absolute = std::filesystem::canonical(dir, error);
  if (error || !std::filesystem::is_directory(absolute, error)) {
    std::cerr << "zmfile serve: " << dir << " is not a directory\n";
    return {};
  }
  return absolute.string();
}

std::string UrlOf(const std::string& host, int port, bool tls) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (tls ? "https://" : "http://") + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

// Reads the users and the TLS files, and decides whether the server may
// listen where it is asked to. Returns false and prints why when it may not.
bool PrepareAccess(const ServeOptions& options, ServerAccess* access) {
  const BindDecision decision = DecideBind(options);
  if (!decision.refusal.empty()) {
    std::cerr << "zmfile serve: " << ConfigOriginOf(options, decision.about + " " + decision.refusal)
              << decision.refusal << '\n';
    return false;
  }
  if (!options.htpasswd.empty()) {
    HtpasswdFile users = LoadHtpasswd(options.htpasswd);
    if (!users.error.empty()) {
      std::cerr << "zmfile serve: " << ConfigOriginOf(options, "--htpasswd") << "--htpasswd " << users.error << '\n';
      return false;
    }
    access->authenticator = std::make_shared<Authenticator>(std::move(users.entries));
  }
  if (!options.tls_cert.empty()) {
    std::string error;
    access->tls = MakeTlsContext(options.tls_cert, options.tls_key, &error);
    if (!access->tls) {
      std::cerr << "zmfile serve: " << ConfigOriginOf(options, error) << error << '\n';
      return false;
    }
  }
  if (!decision.warning.empty()) std::cout << "zmfile serve: " << decision.warning << '\n';
  return true;
}

int RunServe(const ServeOptions& given) {
  std::string why;
  std::optional<ServeConfig> config = ParseServeConfig(given, &why);
  if (!config) {
    std::cerr << "zmfile serve: " << ConfigOriginOf(given, why) << why << '\n';
    return kExitUsage;
  }
  ServeOptions& options = config->options;
  ServerAccess access;
  if (!PrepareAccess(options, &access)) return kExitUsage;
  const bool tls = access.tls != nullptr;
  options.dir = PrepareDirectory(options.dir);
  if (options.dir.empty()) return kExitUsage;
  // Hidden temporary files left by saves that were killed (this server's
  // last run, or another process's): a live save's file is locked and stays,
  // and with --sweep-min-age so does one written to recently.
  const AbandonedTempFiles abandoned = RemoveAbandonedTempFiles(options.dir, options.sweep_min_age);
  std::cout << "zmfile serve: removed " << abandoned.removed << " abandoned temporary file"
            << (abandoned.removed == 1 ? "" : "s") << " from " << options.dir << '\n';
  if (abandoned.kept_recent != 0) {
    std::cout << "zmfile serve: kept " << abandoned.kept_recent << " unlocked temporary file"
              << (abandoned.kept_recent == 1 ? "" : "s") << " modified within --sweep-min-age " << options.sweep_min_age
              << " s (reason: another host may still be writing)\n";
  }
  if (abandoned.error_number != 0) {
    std::cerr << "zmfile serve: cannot read " << options.dir << ": " << std::strerror(abandoned.error_number) << '\n';
  }

  UploadServer server(*config, std::cout, std::move(access));
  if (!server.Bind()) {
    std::cerr << "zmfile serve: cannot listen on " << options.host << " port " << options.port << '\n';
    return kExitUsage;
  }
  std::cout << "zmfile serve: storing uploads in " << options.dir << " (conflict policy " << options.conflict
            << ", forms may choose " << options.client_conflict << ", body limit " << options.max_body << " bytes, "
            << (options.htpasswd.empty() ? "no authentication" : "HTTP Basic users from " + options.htpasswd) << ")\n";
  // The address to open: the local one on loopback, the public ones where given.
  if (IsLoopbackHost(options.host)) {
    std::cout << "zmfile serve: open " << UrlOf(options.host, server.port(), tls) << " (Ctrl-C stops the server)\n";
  } else {
    std::cout << "zmfile serve: listening on " << options.host << " port " << server.port()
              << " (Ctrl-C stops the server)\n";
  }
  for (const PublicUrl& url : config->public_urls) std::cout << "zmfile serve: open " << url.Text() << '\n';
  std::cout << std::flush;
  const StagingSweeper sweeper(options.dir, options.resumable_expiry);
  if (server.Run()) {
    std::cout << "zmfile serve: stopped\n" << std::flush;
    return kExitOk;
  }
  std::cerr << "zmfile serve: the server stopped unexpectedly\n";
  return kExitFault;
}

}  // namespace
}  // namespace zimrax::zmfile

extern "C" __attribute__((visibility("default"))) int ZmfileRunServe(const zimrax::zmfile::ServeOptions* options) {
  return zimrax::zmfile::RunServe(*options);
}
