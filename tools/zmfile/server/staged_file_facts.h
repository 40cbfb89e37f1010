// The facts a hook is told of a resumable upload's data, once its last
// byte is in: read back from the staged file (its bytes arrived over
// several requests, so no one stream saw them all).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_STAGED_FILE_FACTS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_STAGED_FILE_FACTS_H_

#include <cstdint>

#include "server/file_facts.h"

namespace zimrax::zmfile {

// Size, SHA-256 and libmagic's type of the first `size` bytes of `fd`
// (read with pread: its offset is left alone). The names are left empty.
// A read error leaves sha256 empty.
FileFacts StagedFileFacts(int fd, std::uint64_t size);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_STAGED_FILE_FACTS_H_
