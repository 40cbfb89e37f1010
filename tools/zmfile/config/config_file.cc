#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <sstream>
#include <toml.hpp>
#include <utility>

#include "config/toml_nesting.h"

namespace zimrax::zmfile {
namespace {

using TomlValue = toml::basic_value<toml::discard_comments>;

std::string At(const std::string& path, std::size_t line) { return path + ":" + std::to_string(line) + ": "; }

// The first line of a parser message without its "[error] " and the name
// of the parser's function: "[error] toml::parse_key: an invalid key
// appeared." becomes "an invalid key appeared.".
std::string ParserReason(const std::string& what) {
  std::string reason = what.substr(0, what.find('\n'));
  if (reason.starts_with("[error] ")) reason.erase(0, 8);
  const std::size_t colon = reason.find(": ");
  if (colon != std::string::npos && reason.find(' ') > colon) reason.erase(0, colon + 2);
  return reason.empty() ? "not a TOML file" : reason;
}

// A scalar as the command line would spell it; nullopt for a date, a
// table or an array.
std::optional<ConfigValue> Scalar(const TomlValue& value) {
  switch (value.type()) {
    case toml::value_t::boolean:
      return ConfigValue{ConfigValueKind::kBoolean, value.as_boolean() ? "true" : "false"};
    case toml::value_t::integer:
      return ConfigValue{ConfigValueKind::kNumber, std::to_string(value.as_integer())};
    case toml::value_t::floating: {
      char digits[64];
      const auto written = std::to_chars(digits, digits + sizeof digits, value.as_floating());
      return ConfigValue{ConfigValueKind::kNumber, std::string(digits, written.ptr)};
    }
    case toml::value_t::string:
      return ConfigValue{ConfigValueKind::kText, value.as_string().str};
    default:
      return std::nullopt;
  }
}

// What a key holds that no option takes.
std::string Unusable(const TomlValue& value) {
  switch (value.type()) {
    case toml::value_t::table:
      return "a table: settings are keys at the top of the file, outside any [section]";
    case toml::value_t::array:
      return "an array inside an array: no option takes one";
    default:
      return "a date or time: no option takes one";
  }
}

// The setting `key` makes, with *fault set ("FILE:LINE: KEY: why") when
// its value is of no use to any option.
ConfigSetting SettingOf(const std::string& key, const TomlValue& value, const std::string& path, std::string* fault) {
  ConfigSetting setting;
  setting.key = key;
  setting.line = value.location().line();
  setting.is_array = value.is_array();
  const std::vector<TomlValue> scalars = setting.is_array ? value.as_array() : std::vector<TomlValue>{value};
  for (const TomlValue& item : scalars) {
    std::optional<ConfigValue> scalar = Scalar(item);
    if (!scalar) {
      *fault = At(path, item.location().line()) + key + ": " + Unusable(item);
      break;
    }
    setting.values.push_back(std::move(*scalar));
  }
  return setting;
}

}  // namespace

std::optional<std::vector<ConfigSetting>> ParseConfigText(std::string_view text, const std::string& path,
                                                          std::string* error) {
  if (text.size() > kConfigMaxBytes) {
    *error = path + ": larger than " + std::to_string(kConfigMaxBytes >> 10) + " KiB: not a config file";
    return std::nullopt;
  }
  if (const std::size_t line = LineWithMoreValuesThan(text, kConfigMaxValues); line != 0) {
    *error = At(path, line) + "more than " + std::to_string(kConfigMaxValues) + " values: not a config file";
    return std::nullopt;
  }
  if (const std::size_t line = LineNestedDeeperThan(text, kConfigMaxNesting); line != 0) {
    *error = At(path, line) + "arrays or inline tables nested deeper than " + std::to_string(kConfigMaxNesting);
    return std::nullopt;
  }
  // toml11 3.7.1 reports bytes that are not UTF-8 inside a string by
  // measuring from an iterator into another buffer, reading past its end.
  // The whole text is checked first with the parser's own rule, so that it
  // never gets there.
  if (const std::ptrdiff_t bad = toml::detail::check_utf8_validity(std::string(text)); bad >= 0) {
    const auto line = 1 + std::count(text.begin(), text.begin() + bad, '\n');
    *error =
        At(path, static_cast<std::size_t>(line)) + "not UTF-8 text (byte " + std::to_string(bad + 1) + " of the file)";
    return std::nullopt;
  }
  TomlValue root;
  try {
    std::istringstream stream{std::string(text)};
    root = toml::parse<toml::discard_comments>(stream, path);
  } catch (const toml::exception& parse_error) {
    *error = At(path, parse_error.location().line()) + ParserReason(parse_error.what());
    return std::nullopt;
  } catch (const std::exception& parse_error) {
    *error = path + ": not a TOML file: " + ParserReason(parse_error.what());
    return std::nullopt;
  }
  // The table keeps no order: the settings, and the fault reported, go by
  // line.
  std::vector<std::pair<ConfigSetting, std::string>> parsed;
  for (const auto& [key, value] : root.as_table()) {
    std::string fault;
    ConfigSetting setting = SettingOf(key, value, path, &fault);
    parsed.emplace_back(std::move(setting), std::move(fault));
  }
  std::sort(parsed.begin(), parsed.end(), [](const auto& a, const auto& b) {
    return a.first.line != b.first.line ? a.first.line < b.first.line : a.first.key < b.first.key;
  });
  std::vector<ConfigSetting> settings;
  for (auto& [setting, fault] : parsed) {
    if (!fault.empty()) {
      *error = fault;
      return std::nullopt;
    }
    settings.push_back(std::move(setting));
  }
  return settings;
}

std::optional<std::vector<ConfigSetting>> ReadConfigFile(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(fd);
    *error = path + ": is a directory";
    return std::nullopt;
  }
  // One byte past the limit tells a file that is too large from one that
  // just fits, without reading the rest of it.
  std::string text(kConfigMaxBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int read_errno = errno;
      ::close(fd);
      *error = path + ": " + std::strerror(read_errno);
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  ::close(fd);
  text.resize(filled);
  return ParseConfigText(text, path, error);
}

}  // namespace zimrax::zmfile
