#include "server/file_name_rules.h"

#include <algorithm>

namespace zimrax::zmfile {

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7f;
  });
}

bool IsListedFileName(std::string_view name) { return IsPlainFileName(name) && name.front() != '.'; }

std::string_view StoredPartOfClientName(std::string_view client_name) {
  const auto last = client_name.rfind('\\');
  return last == std::string_view::npos ? client_name : client_name.substr(last + 1);
}

bool IsAcceptableClientName(std::string_view client_name) {
  const std::string_view stored = StoredPartOfClientName(client_name);
  return stored.empty() || IsPlainFileName(stored);
}

}  // namespace zimrax::zmfile
