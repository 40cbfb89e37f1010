// One plain-language sentence (or two) per outcome of an upload: what
// happened and what to do. The JSON answer's "Message" and the no-script
// HTML answer both take their wording from here; the upload page uses the
// same sentences.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESULT_MESSAGES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESULT_MESSAGES_H_

#include <cstddef>
#include <string>
#include <vector>

#include "server/upload_report.h"

namespace zimrax::zmfile {

// The hint about a form without a file field lists at most this many of
// the fields it has, each cut to this many bytes.
inline constexpr std::size_t kMaxHintedFields = 8;
inline constexpr std::size_t kMaxHintedName = 40;

// The sentence for `file`, one of `request.files` or the request's own part.
// The advice after a 106 offers only the choices in request.client_choices
// ("makeunique": Keep both, "overwrite": Replace); so does the advice after a
// 75 under "makeunique" for a name too long to number, which never offers
// Keep both. Never empty. Names in it are raw bytes: the caller escapes them
// for its format.
std::string PlainMessage(const FileReport& file, const UploadReport& request);

// Whether the server lets a form choose `choice` (client_choices).
bool Allows(const UploadReport& request, const char* choice);

// The name the client gave, without a Windows path; "the file" when none.
std::string ClientName(const FileReport& file);

// A 75 under "makeunique" for a taken name that fits 255 bytes while no
// numbered form of it does: keeping both can never work for it.
bool TooLongToNumber(const FileReport& file);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESULT_MESSAGES_H_
