#include "config/config_apply.h"

#include <algorithm>
#include <set>

namespace zimrax::zmfile {
namespace {

std::string Where(const std::string& path, const ConfigSetting& setting) {
  return path + ":" + std::to_string(setting.line) + ": " + setting.key;
}

// The option a key names; nullptr for none, the help flag included.
CLI::Option* OptionOf(CLI::App& command, const std::string& key) {
  if (key.empty() || key.front() == '-') return nullptr;
  CLI::Option* option = command.get_option_no_throw("--" + key);
  return option == command.get_help_ptr() || option == command.get_help_all_ptr() ? nullptr : option;
}

std::string UnknownKey(CLI::App& command, const std::string& key) {
  std::string why = "unknown key: zmfile " + command.get_name() + " has no option --" + key;
  std::string dashed = key;
  std::replace(dashed.begin(), dashed.end(), '_', '-');
  if (dashed != key && OptionOf(command, dashed) != nullptr) why += " (did you mean " + dashed + "?)";
  return why;
}

bool IsFlag(const CLI::Option& option) { return option.get_expected_min() == 0; }

// Why `setting`'s kind of value does not fit `option`, or "".
std::string KindMismatch(const CLI::Option& option, const ConfigSetting& setting) {
  if (IsFlag(option)) {
    if (setting.is_array || setting.values.front().kind != ConfigValueKind::kBoolean) {
      return "a flag takes true or false";
    }
    return "";
  }
  if (setting.is_array && option.get_items_expected_max() <= 1) {
    return "takes one value, not an array (only a repeatable option takes one)";
  }
  const bool text_option = option.get_type_name().starts_with("TEXT");
  for (const ConfigValue& value : setting.values) {
    if (value.kind == ConfigValueKind::kBoolean) return "takes a value, not true or false";
    if (value.kind == ConfigValueKind::kNumber && text_option) return "takes a string (in quotes), not a number";
  }
  return "";
}

// CLI11 names the option at the start of its messages ("--port: Value 9
// not in range 1 to 8"); the key already stands before it.
std::string WithoutOptionName(std::string message, const CLI::Option& option) {
  const std::string name = option.get_name();
  if (message.starts_with(name + ": ")) message.erase(0, name.size() + 2);
  return message;
}

std::string Give(CLI::Option& option, const ConfigSetting& setting) {
  try {
    if (IsFlag(option)) {
      option.add_result(option.get_flag_value(setting.key, setting.values.front().text));
    } else {
      std::vector<std::string> texts;
      for (const ConfigValue& value : setting.values) texts.push_back(value.text);
      option.add_result(texts);
    }
    option.run_callback();
  } catch (const CLI::Error& error) {
    return WithoutOptionName(error.what(), option);
  }
  return "";
}

bool AnyGiven(const std::set<const CLI::Option*>& options, const std::set<const CLI::Option*>& given) {
  return std::any_of(options.begin(), options.end(), [&](const CLI::Option* other) { return given.contains(other); });
}

}  // namespace

std::string ApplyConfigSettings(CLI::App& command, const std::string& path, const std::vector<ConfigSetting>& settings,
                                std::map<std::string, std::string>* origins) {
  std::set<const CLI::Option*> on_command_line;
  for (const CLI::Option* option : command.get_options()) {
    if (option->count() > 0) on_command_line.insert(option);
  }
  // (setting, option) of each setting given, in the order of the file.
  std::vector<std::pair<const ConfigSetting*, CLI::Option*>> applied;
  for (const ConfigSetting& setting : settings) {
    CLI::Option* option = OptionOf(command, setting.key);
    if (option == nullptr) return Where(path, setting) + ": " + UnknownKey(command, setting.key);
    if (!option->get_configurable()) return Where(path, setting) + ": can be given on the command line only";
    if (const std::string mismatch = KindMismatch(*option, setting); !mismatch.empty()) {
      return Where(path, setting) + ": " + mismatch;
    }
    const std::set<CLI::Option*> excludes = option->get_excludes();
    if (on_command_line.contains(option) ||
        AnyGiven(std::set<const CLI::Option*>(excludes.begin(), excludes.end()), on_command_line)) {
      continue;
    }
    if (setting.values.empty()) continue;  // an empty array sets nothing
    // Two settings of one option (--fsync and its negation --no-fsync
    // declared together) would pile up: the later would silently win.
    const auto same =
        std::find_if(applied.begin(), applied.end(), [&](const auto& entry) { return entry.second == option; });
    if (same != applied.end()) {
      return Where(path, setting) + ": sets what line " + std::to_string(same->first->line) + " (" + same->first->key +
             ") sets";
    }
    if (const std::string why = Give(*option, setting); !why.empty()) return Where(path, setting) + ": " + why;
    applied.emplace_back(&setting, option);
    (*origins)[option->get_name()] = Where(path, setting);
  }
  // Exclusions first, reported at the later of the two lines; then needs.
  for (std::size_t index = 0; index < applied.size(); ++index) {
    const auto& [setting, option] = applied[index];
    for (std::size_t earlier = 0; earlier < index; ++earlier) {
      if (option->get_excludes().contains(applied[earlier].second)) {
        return Where(path, *setting) + ": cannot be set together with " + applied[earlier].first->key + " (line " +
               std::to_string(applied[earlier].first->line) + ")";
      }
    }
  }
  for (const auto& [setting, option] : applied) {
    for (const CLI::Option* needed : option->get_needs()) {
      if (needed->count() == 0) return Where(path, *setting) + ": needs " + needed->get_name() + " as well";
    }
  }
  return "";
}

}  // namespace zimrax::zmfile
