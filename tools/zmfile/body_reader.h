// Reads a request body for the command line in pieces: standard input
// ("-"), a pipe, or a regular file. A regular file that changes size while
// it is read is refused, so that a writer truncating it can never make a
// save store what the file held only in part.
#ifndef ZIMRAX_TOOLS_ZMFILE_BODY_READER_H_
#define ZIMRAX_TOOLS_ZMFILE_BODY_READER_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace zimrax::zmfile {

// Hands every piece of `path` to `piece`, in order. Returns "" when the
// whole body was read, otherwise what went wrong, without the path. The
// pieces read so far may then be incomplete. `on_size_known` runs once a
// regular file's size has been taken, before its bytes are read (a test
// can change the file there).
std::string ReadBodyPieces(const std::string& path, const std::function<void(std::span<const std::uint8_t>)>& piece,
                           const std::function<void()>& on_size_known = {});

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_BODY_READER_H_
