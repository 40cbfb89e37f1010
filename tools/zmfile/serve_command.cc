#include "serve_command.h"

#include <atomic>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>
#include <thread>

#include "result_printer.h"
#include "server/serve_options.h"
#include "server/stop_signal.h"
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

std::string UrlOf(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

int RunServe(ServeOptions options) {
  options.dir = PrepareDirectory(options.dir);
  if (options.dir.empty()) return kExitUsage;

  // Before any thread starts, so that every thread leaves the signals to us.
  StopSignal stop_signal;
  UploadServer server(options, std::cout);
  if (!server.Bind()) {
    std::cerr << "zmfile serve: cannot listen on " << options.host << " port " << options.port << '\n';
    return kExitUsage;
  }
  std::cout << "zmfile serve: storing uploads in " << options.dir << " (conflict policy " << options.conflict
            << ", body limit " << options.max_body << " bytes)\n"
            << "zmfile serve: open " << UrlOf(options.host, server.port()) << " (Ctrl-C stops the server)\n"
            << std::flush;

  std::atomic<bool> done{false};
  bool served = false;
  std::thread listener([&] {
    served = server.Listen();
    done = true;
  });
  const int signal = stop_signal.Wait(done);
  server.Stop();
  listener.join();
  if (signal != 0) {
    std::cout << "zmfile serve: stopped\n" << std::flush;
    return kExitOk;
  }
  std::cerr << "zmfile serve: the server stopped unexpectedly\n";
  return served ? kExitOk : kExitFault;
}

}  // namespace

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
  command->add_option("--max-body", options->max_body, "Largest request body accepted, in bytes")
      ->check(CLI::Range(std::uint64_t{1}, kLargestBody))
      ->capture_default_str();
  command->callback([options, &exit_status] { exit_status = RunServe(*options); });
}

}  // namespace zimrax::zmfile
