// The entry point of the server module (zmfile-serve.so), which `zmfile
// serve` loads at run time: the HTTP server stays out of every other zmfile
// command's start-up.
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "exit_status.h"
#include "storage/abandoned_temp_files.h"
#include "server/serve_entry.h"
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

  UploadServer server(options, std::cout);
  if (!server.Bind()) {
    std::cerr << "zmfile serve: cannot listen on " << options.host << " port " << options.port << '\n';
    return kExitUsage;
  }
  std::cout << "zmfile serve: storing uploads in " << options.dir << " (conflict policy " << options.conflict
            << ", body limit " << options.max_body << " bytes)\n"
            << "zmfile serve: open " << UrlOf(options.host, server.port()) << " (Ctrl-C stops the server)\n"
            << std::flush;
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
