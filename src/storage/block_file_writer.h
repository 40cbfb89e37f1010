// Storing the uploaded bytes as a new file at a resolved destination.
#ifndef ZIMRAX_STORAGE_BLOCK_FILE_WRITER_H_
#define ZIMRAX_STORAGE_BLOCK_FILE_WRITER_H_

#include <cstdint>
#include <string>

#include "scanner/checked.h"
#include "storage/byte_source.h"
#include "storage/conflict_policy.h"
#include "storage/destination_path.h"
#include "storage/platform_error.h"

namespace zimrax {

struct WriteOutcome {
  std::int32_t code = 0;       // 0, 106, or a platform error number
  bool code_is_int32 = false;  // a failed replace under "overwrite" is 32-bit
  std::string message;         // "" on success, otherwise the message
  std::string stored_name;     // the name the file was published under
  RuntimeError fault = RuntimeError::kNone;  // kOverflow: no numbered name left
};

// The outcome of a failed file-system call: the platform error for
// `error_number` in `role`, as an Int32 code when `code_is_int32`.
WriteOutcome WriteFailure(int error_number, PathRole role, bool code_is_int32 = false);

// Writes the bytes of `data` to a temporary file in the destination's
// directory and publishes it only when complete: "error" refuses a taken
// name (106), "makeunique" moves on to the next free numbered name,
// "overwrite" replaces atomically. On any failure, a fault of `data` included, nothing
// is left behind and an existing file is unchanged.
WriteOutcome WriteBytesToFile(ByteSource& data, const Destination& destination, ConflictPolicy policy);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_BLOCK_FILE_WRITER_H_
