#include "serve_command.h"

#include <cstdint>
#include <memory>

#include "serve_module.h"
#include "server/serve_options.h"

namespace zimrax::zmfile {

void AddServeCommand(CLI::App& app, int& exit_status) {
  auto options = std::make_shared<ServeOptions>();
  CLI::App* command = app.add_subcommand("serve", "Serve an upload page and store uploads with ZmFileSave");
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
  // A number of bytes, or of K, M or G (binary: 1K = 1024); the range is
  // checked on the value in bytes.
  command
      ->add_option("--max-body", options->max_body,
                   "Largest request body accepted: bytes, or with a K, M or G suffix (1K = 1024), at most 2147483647")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{1}, kLargestBody))
      ->capture_default_str();
  command->add_flag("--fsync,!--no-fsync", options->fsync,
                    "Sync each stored file and its directory entry to the device before answering (the "
                    "default; --no-fsync leaves them to the page cache)");
  command->callback([options, &exit_status] { exit_status = RunServeModule(*options); });
}

}  // namespace zimrax::zmfile
