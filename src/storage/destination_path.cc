#include "storage/destination_path.h"

#include <climits>
#include <cstring>

#include "storage/file_exists.h"

namespace zimrax {

std::string_view BaseNameOfClientPath(std::string_view client_file_name) {
  if (client_file_name.empty()) return client_file_name;
  // Two backward scans for one byte each: find_last_of would search its set
  // of two once per byte, which shows on a file name of megabytes.
  const char* const begin = client_file_name.data();
  const auto* separator = static_cast<const char*>(memrchr(begin, '\\', client_file_name.size()));
  const auto* slash = static_cast<const char*>(memrchr(begin, '/', client_file_name.size()));
  if (slash != nullptr && (separator == nullptr || slash > separator)) separator = slash;
  return separator == nullptr ? client_file_name : client_file_name.substr(separator + 1 - begin);
}

bool IsAcceptableStoredName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('\0') == std::string_view::npos &&
         name.find('/') == std::string_view::npos;
}

bool FitsDirectoryEntry(std::string_view name) { return name.size() <= NAME_MAX; }

std::string FormPath(std::string_view directory, std::string_view name) {
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  path.append(directory).append("/").append(name);
  // Reduce in place: move each run up to and including the first slash of a
  // "//" down to the end of what is kept, then go on after the pair.
  std::size_t kept = 0;
  std::size_t from = 0;
  for (std::size_t pair = path.find("//"); pair != std::string::npos; pair = path.find("//", from)) {
    const std::size_t run = pair + 1 - from;
    std::memmove(path.data() + kept, path.data() + from, run);
    kept += run;
    from = pair + 2;
  }
  std::memmove(path.data() + kept, path.data() + from, path.size() - from);
  path.resize(kept + path.size() - from);
  return path;
}

std::string NumberedName(std::string_view name, std::int32_t number) {
  const std::size_t dot = name.rfind('.');
  const std::string_view base = dot == std::string_view::npos ? name : name.substr(0, dot);
  const std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  std::string numbered(base);
  numbered.append("(").append(std::to_string(number)).append(").").append(extension);
  return numbered;
}

Destination DestinationFor(std::string_view directory, std::string_view plain_name, std::int32_t number) {
  Destination destination;
  destination.requested_directory = std::string(directory);
  destination.plain_name = std::string(plain_name);
  destination.number = number;
  destination.path =
      number == 0 ? FormPath(directory, plain_name) : FormPath(directory, NumberedName(plain_name, number));
  // Always present: FormPath writes one. memrchr, as rfind scans byte by byte.
  const std::size_t slash = static_cast<std::size_t>(
      static_cast<const char*>(memrchr(destination.path.data(), '/', destination.path.size())) -
      destination.path.data());
  destination.directory = slash == 0 ? "/" : destination.path.substr(0, slash);
  destination.entry_name = destination.path.substr(slash + 1);
  return destination;
}

Checked<Destination> NextUniqueCandidate(const Destination& taken) {
  if (taken.number >= kMaxUniqueNumber) return Checked<Destination>::Fail(RuntimeError::kOverflow);
  return Checked<Destination>{DestinationFor(taken.requested_directory, taken.plain_name, taken.number + 1)};
}

Checked<Destination> ResolveDestinationPath(std::string_view directory, std::string_view plain_name,
                                            ConflictPolicy policy) {
  Checked<Destination> destination{DestinationFor(directory, plain_name, 0)};
  if (policy != ConflictPolicy::kMakeUnique) return destination;
  while (destination.ok() && FileExists(destination.value.path)) destination = NextUniqueCandidate(destination.value);
  return destination;
}

}  // namespace zimrax
