// The config file of zmfile serve, read and applied: any bytes give either
// settings or one fault that names the file, never a crash, a stack
// overflow in the TOML parser, or a hang. The settings go to an option table
// of the kinds serve has (numbers with ranges, sizes, a choice, a repeatable
// option, a flag and its excluded opposite, an option that needs another).
//
// Input: the file's bytes.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_apply.h"
#include "config/config_file.h"

namespace {

constexpr char kPath[] = "fuzz.toml";

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_config_file: %s: %s\n", what, detail.c_str());
  std::abort();
}

std::string ApplyToTable(const std::vector<zimrax::zmfile::ConfigSetting>& settings) {
  CLI::App command{"fuzz", "serve"};
  int port = 8080;
  std::uint64_t max_body = 1;
  std::string conflict = "makeunique";
  std::vector<std::string> urls;
  bool fsync = true;
  std::string hook;
  double timeout = 10;
  command.add_option("--port", port)->check(CLI::Range(0, 65535));
  command.add_option("--max-body", max_body)
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 60));
  command.add_option("--conflict", conflict)->check(CLI::IsMember({"error", "overwrite", "makeunique"}));
  command.add_option("--public-url", urls)->allow_extra_args(false);
  CLI::Option* sync = command.add_flag("--fsync", fsync);
  command.add_flag_callback("--no-fsync", [&fsync] { fsync = false; })->excludes(sync);
  CLI::Option* hook_option = command.add_option("--hook", hook);
  command.add_option("--hook-timeout", timeout)->check(CLI::Range(0.1, 60.0))->needs(hook_option);
  command.parse(std::vector<std::string>{});
  std::map<std::string, std::string> origins;
  return zimrax::zmfile::ApplyConfigSettings(command, kPath, settings, &origins);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<std::vector<zimrax::zmfile::ConfigSetting>> settings =
      zimrax::zmfile::ParseConfigText(text, kPath, &error);
  if (!settings) {
    if (!error.starts_with(kPath)) Fail("a fault that does not name the file", error);
    return 0;
  }
  if (!error.empty()) Fail("settings and a fault", error);
  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n';
  for (const auto& setting : *settings) {
    if (setting.line < 1 || setting.line > lines) Fail("a line outside the file", setting.key);
    if (!setting.is_array && setting.values.size() != 1) Fail("a scalar without one value", setting.key);
  }
  const std::string fault = ApplyToTable(*settings);
  if (!fault.empty() && !fault.starts_with(std::string(kPath) + ":")) Fail("a fault without its line", fault);
  return 0;
}
