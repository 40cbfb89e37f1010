#include "serve_command.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "config/config_option.h"
#include "serve_hook_options.h"
#include "serve_module.h"
#include "server/serve_options.h"

namespace zimrax::zmfile {

void AddServeCommand(CLI::App& app, int& exit_status) {
  AddServeCommandFilling(app, exit_status, std::make_shared<ServeOptions>());
}

// The one table of the server's options: the command line and --config
// FILE both read it.
CLI::App* AddServeCommandFilling(CLI::App& app, int& exit_status, std::shared_ptr<ServeOptions> options) {
  CLI::App* command = app.add_subcommand("serve", "Serve an upload page and store uploads with ZmFileSave");
  AddConfigFileOption(*command, &options->config_origins);
  command->add_option("--dir", options->dir, "Directory to store uploads in (created if missing)")
      ->capture_default_str();
  command->add_option("--host", options->host, "Address to listen on")->capture_default_str();
  command->add_option("--port", options->port, "Port to listen on (0: any free port)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  command
      ->add_option("--conflict", options->conflict,
                   "Name-conflict policy when the form sends none: error, overwrite or makeunique")
      ->check(CLI::IsMember({"error", "overwrite", "makeunique"}, CLI::ignore_case))
      ->capture_default_str();
  command
      ->add_option("--client-conflict", options->client_conflict,
                   "Policies a form's conflict field may choose, comma-separated (others get 400)")
      ->capture_default_str();
  command
      ->add_option("--public-url", options->public_urls,
                   "Address clients reach the server at, http[s]://host[:port][/path] (repeatable); its origin "
                   "and host name are accepted besides the bound address; required off loopback")
      ->allow_extra_args(false);
  command->add_flag("--trust-proxy", options->trust_proxy,
                    "The peer is a reverse proxy: log the rightmost X-Forwarded-For address as the client");
  // A number of bytes, or of K, M or G (binary: 1K = 1024); the range is
  // checked on the value in bytes.
  command
      ->add_option("--max-body", options->max_body,
                   "Largest request body accepted: bytes, or with a K, M or G suffix (1K = 1024)")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{1}, kLargestBody))
      ->capture_default_str();
  // Rules for each file of an upload.
  command
      ->add_option("--max-file-size", options->max_file_size,
                   "Largest file stored, bytes or with a K, M or G suffix (0: no limit); a larger file is refused "
                   "with 413 and the rest of the form goes on")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{0}, kLargestBody))
      ->capture_default_str();
  command
      ->add_option("--max-files", options->max_files,
                   "Most files stored from one form (0: no limit); the files past it are refused with 413")
      ->check(CLI::Range(std::size_t{0}, std::size_t{100}))
      ->capture_default_str();
  command->add_option("--allow-types", options->allow_types,
                      "Accept only these file types, comma-separated: extensions (.pdf) and media types read "
                      "from the content (image/png, image/*); others get 415");
  command->add_option("--deny-types", options->deny_types,
                      "Refuse these file types with 415, comma-separated: extensions (.exe) and media types "
                      "read from the content (application/x-dosexec, text/*)");
  command->add_flag("--strict-types", options->strict_types,
                    "Refuse with 415 a file whose content is not of a type /etc/mime.types gives its extension");
  command
      ->add_option("--digest", options->digest,
                   "none or sha256: each stored file's SHA-256 in the JSON answer and the log (on by itself "
                   "with a hook)")
      ->transform(CLI::IsMember({"none", "sha256"}, CLI::ignore_case))
      ->capture_default_str();
  // Limits on what one client can hold of the server.
  command->add_option("--max-header", options->max_header, "Largest request head (line and fields), bytes; 431 past it")
      ->check(CLI::Range(std::size_t{1024}, std::size_t{1} << 24))
      ->capture_default_str();
  command
      ->add_option("--header-timeout", options->header_seconds, "Seconds to receive a request's headers; 408 past it")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  command
      ->add_option("--min-body-rate", options->min_body_rate,
                   "Slowest body accepted, bytes/s averaged over --rate-window; slower closes the connection")
      ->capture_default_str();
  command->add_option("--rate-window", options->body_rate_seconds, "Seconds over which --min-body-rate is averaged")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  command->add_option("--idle-timeout", options->idle_seconds, "Seconds a kept-alive connection may wait for a request")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  command->add_option("--send-timeout", options->send_seconds, "Seconds a client may take no answer bytes")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  command->add_option("--max-connections", options->max_connections, "Open connections; more wait in the backlog")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command->add_option("--max-per-address", options->max_per_address, "Open connections from one address; 503 past it")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command->add_option("--accept-rate", options->accept_rate,
                      "New connections a second from one address (twice as many at once); more are closed")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command->add_option("--max-first-line", options->max_first_line, "Longest form delimiter line, bytes; 400 past it")
      ->check(CLI::Range(std::size_t{72}, std::size_t{1} << 20))
      ->capture_default_str();
  command->add_option("--max-comment", options->max_comment, "Longest comment field kept for the answer, bytes")
      ->check(CLI::Range(std::size_t{0}, std::size_t{1} << 24))
      ->capture_default_str();
  command
      ->add_option("--drain-seconds", options->drain_seconds, "On SIGINT/SIGTERM, seconds given to uploads in flight")
      ->check(CLI::Range(0, 3600))
      ->capture_default_str();
  command->add_option("--threads", options->threads, "I/O threads (0: one per core, at least 2)")
      ->check(CLI::Range(0, 256))
      ->capture_default_str();
  command->add_option("--htpasswd", options->htpasswd,
                      "HTTP Basic users, an htpasswd file with bcrypt or SHA-crypt hashes (htpasswd -B)");
  command->add_flag("--no-auth", options->no_auth,
                    "Listen on a non-loopback address without --htpasswd (behind a proxy that authenticates)");
  command
      ->add_option("--max-hash-checks", options->max_hash_checks,
                   "Password checks waiting or running at once; 503 past it")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  command->add_flag("--metrics", options->metrics,
                    "Answer GET /metrics with the server's counters in the Prometheus text format, under the same "
                    "access rules as every route");
  command->add_flag("--allow-delete", options->allow_delete,
                    "Let clients delete stored files with DELETE /files/NAME (off loopback only with --htpasswd)");
  command->add_option("--tls-cert", options->tls_cert, "PEM certificate chain: serve HTTPS (with --tls-key)");
  command->add_option("--tls-key", options->tls_key, "PEM private key of --tls-cert");
  command
      ->add_option("--sweep-min-age", options->sweep_min_age,
                   "Start-up removes abandoned temporary files only when unmodified for this many seconds (for a "
                   "directory shared between hosts whose locks are not shared)")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{30} * 24 * 3600))
      ->capture_default_str();
  // Two flags rather than "--fsync,!--no-fsync", whose help shows the
  // negation's {false} as if it were the default.
  CLI::Option* fsync = command->add_flag(
      "--fsync", options->fsync,
      "Sync each stored file and its directory entry to the device before answering (on by default)");
  command
      ->add_flag_callback(
          "--no-fsync", [options] { options->fsync = false; },
          "Leave stored files to the page cache: answer before they are on the device (turns --fsync off)")
      ->excludes(fsync);
  command
      ->add_option("--resumable-expiry", options->resumable_expiry,
                   "Unfinished resumable uploads are kept this long after their last PATCH: seconds, or with an "
                   "s, m, h or d suffix (410 and removed past it)")
      ->transform(
          CLI::AsNumberWithUnit(std::map<std::string, std::int64_t>{{"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}}))
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{365} * 86400))
      ->capture_default_str();
  command
      ->add_option("--resumable-max-incomplete", options->resumable_max_incomplete,
                   "Unfinished resumable uploads one user (or client address) may have; 429 past it")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  command
      ->add_option("--resumable-max-staging", options->resumable_max_staging,
                   "Bytes all unfinished resumable uploads may hold: bytes, or with a K, M or G suffix; 507 past it")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{1}, kLargestBody))
      ->capture_default_str();
  AddServeHookOptions(*command, *options);
  command->callback([options, &exit_status] { exit_status = RunServeModule(*options); });
  return command;
}

}  // namespace zimrax::zmfile
