// The config file's settings against option tables other than serve's
// today: the forms other options of the command may take (a flag with its
// negation in one option, an option that needs another, one kept to the
// command line), so that a new option works from the file unchanged.
#include "config/config_apply.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"

namespace zimrax::zmfile {
namespace {

struct Table {
  bool fsync = true;
  std::string hook;
  int hook_timeout = 10;
  std::vector<std::string> types;
  std::string secret;
};

// Parses `args` into a command with such options, then applies `toml`.
// Returns the fault, "" when none.
std::string Apply(const std::string& toml, const std::vector<std::string>& args, Table* table) {
  CLI::App command{"test", "serve"};
  command.add_flag("--fsync,!--no-fsync", table->fsync, "sync");
  CLI::Option* hook = command.add_option("--hook", table->hook, "a command");
  command.add_option("--hook-timeout", table->hook_timeout, "seconds")->check(CLI::Range(1, 60))->needs(hook);
  command.add_option("--type", table->types, "repeatable")->check(CLI::IsMember({"image/png", "text/plain"}));
  command.add_option("--secret", table->secret, "command line only")->configurable(false);
  command.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  std::string error;
  const std::optional<std::vector<ConfigSetting>> settings = ParseConfigText(toml, "t.toml", &error);
  if (!settings) return error;
  std::map<std::string, std::string> origins;
  return ApplyConfigSettings(command, "t.toml", *settings, &origins);
}

TEST(ConfigApplyTest, OptionFormsBeyondServesOwn) {
  const struct {
    const char* name;
    std::string toml;
    std::vector<std::string> args;
    std::string error;
    bool fsync;
    std::vector<std::string> types;
  } kCases[] = {
      {"negation declared with the flag", "no-fsync = true\n", {}, "", false, {}},
      {"the flag itself", "fsync = false\n", {}, "", false, {}},
      {"both names of one flag",
       "fsync = true\nno-fsync = true\n",
       {},
       "t.toml:2: no-fsync: sets what line 1 (fsync) sets",
       true,
       {}},
      {"the command line's negation wins", "fsync = true\n", {"--no-fsync"}, "", false, {}},
      {"the command line's flag wins over the file's negation", "no-fsync = true\n", {"--fsync"}, "", true, {}},
      {"needs what the file also sets", "hook-timeout = 5\nhook = \"/bin/true\"\n", {}, "", true, {}},
      {"needs what the command line sets", "hook-timeout = 5\n", {"--hook", "/bin/true"}, "", true, {}},
      {"needs what nothing sets", "\nhook-timeout = 5\n", {}, "t.toml:2: hook-timeout: needs --hook as well", true, {}},
      {"a validator on each item of an array",
       "type = [\"image/png\", \"image/gif\"]\n",
       {},
       "t.toml:1: type: image/gif not in {image/png,text/plain}",
       true,
       {}},
      {"an array of a repeatable option",
       "type = [\"image/png\", \"text/plain\"]\n",
       {},
       "",
       true,
       {"image/png", "text/plain"}},
      {"kept to the command line",
       "secret = \"x\"\n",
       {},
       "t.toml:1: secret: can be given on the command line only",
       true,
       {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Table table;
    EXPECT_EQ(Apply(c.toml, c.args, &table), c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(table.fsync, c.fsync);
    EXPECT_EQ(table.types, c.types);
  }
}

}  // namespace
}  // namespace zimrax::zmfile
