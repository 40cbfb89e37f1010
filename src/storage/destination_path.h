// Where an upload is stored: the name taken from the browser's file name,
// the destination path, and the numbered candidates of "makeunique".
#ifndef ZIMRAX_STORAGE_DESTINATION_PATH_H_
#define ZIMRAX_STORAGE_DESTINATION_PATH_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/checked.h"
#include "zimrax/conflict_policy.h"

namespace zimrax {

// The last piece of `client_file_name` split at every "\" and "/", so that
// a client path contributes only its final name.
std::string_view BaseNameOfClientPath(std::string_view client_file_name);

// False for a name that could leave or miss the directory: empty, ".",
// "..", or holding a NUL byte or a "/".
bool IsAcceptableStoredName(std::string_view name);

// True when `name` fits one directory entry of the file system (255 bytes).
bool FitsDirectoryEntry(std::string_view name);

// `directory`, "/", `name` joined, with every "//" reduced to "/" in one
// left-to-right pass (a run of three slashes becomes two).
std::string FormPath(std::string_view directory, std::string_view name);

// The "makeunique" candidate n of `name`: base "(" n ")." extension, where
// the extension follows the last "." (base is all of `name` when it has no
// dot; the "." is always written).
std::string NumberedName(std::string_view name, std::int32_t number);

// The largest number "makeunique" tries; one more overflows.
inline constexpr std::int32_t kMaxUniqueNumber = 32767;

struct Destination {
  std::string requested_directory;  // the caller's destination directory text
  std::string directory;            // the directory part of `path` ("/" for a root path)
  std::string path;                 // the formed destination path
  std::string entry_name;           // the last piece of `path`: the directory entry to create
  std::string plain_name;           // the client's name, which numbered candidates start from
  std::int32_t number = 0;          // 0 for the plain name, n for name(n).ext
};

// The destination of candidate `number` (0: the plain name) of `plain_name`
// in `directory`.
Destination DestinationFor(std::string_view directory, std::string_view plain_name, std::int32_t number);

// The "makeunique" candidate after `taken`; fails with kOverflow past
// kMaxUniqueNumber. The one place the numbering rule lives.
Checked<Destination> NextUniqueCandidate(const Destination& taken);

// Forms the destination of `plain_name` in `directory` under `policy`.
// "makeunique" moves past taken names (FileExists) to the first free
// numbered one, and fails with kOverflow when all kMaxUniqueNumber are
// taken. Changes nothing on disk.
// REQUIRES: IsAcceptableStoredName(plain_name).
Checked<Destination> ResolveDestinationPath(std::string_view directory, std::string_view plain_name,
                                            ConflictPolicy policy);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_DESTINATION_PATH_H_
