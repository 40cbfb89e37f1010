// The answers of the resumable-upload protocol (tus 1.0.0) at /resumable/:
// every one carries Tus-Resumable and Cache-Control: no-store; a refusal
// is plain text that is also the reason logged.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_REPLIES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_REPLIES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "server/reply.h"
#include "server/serve_config.h"
#include "server/staging_store.h"

namespace zimrax::zmfile {

inline constexpr std::string_view kResumablePath = "/resumable/";

// The headers naming what a completed upload became: its stored name,
// percent-encoded (browsers read header values as Latin-1), and the core's
// result code (0 stored; 104, 106 or a platform error number otherwise).
inline constexpr const char* kStoredNameHeader = "Zmfile-Stored-Name";
inline constexpr const char* kResultCodeHeader = "Zmfile-Result-Code";

// A bare answer of `status` with the protocol's headers.
Reply TusReply(int status);
// A refusal of `status` whose text is `message`.
Reply TusRefusal(int status, const std::string& message);
// The staging cap's refusal (507): its text, and the log note telling what
// unfinished uploads hold (`held` bytes) against the cap `cap`.
inline constexpr const char* kNoStagingRoom = "The server has no room for more unfinished uploads.";
std::string StagingFullNote(std::uint64_t held, std::uint64_t cap);
// 507 with that text and note.
Reply StagingFullReply(std::uint64_t held, std::uint64_t cap);
// 400 for the malformed header `header`, naming it.
Reply BadHeaderReply(std::string_view header, const std::string& why);
// 412 for a Tus-Resumable this server does not speak, with Tus-Version.
Reply UnsupportedVersionReply();
// OPTIONS: the versions, extensions, the largest upload and the checksums.
Reply CapabilitiesReply(const ServeConfig& config);

// `seconds` since the epoch as an HTTP date.
std::string HttpDate(std::int64_t seconds);
// Upload-Expires, and for a completed upload the outcome headers.
void SetRecordHeaders(const UploadRecord& record, StringResponse& response);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_REPLIES_H_
