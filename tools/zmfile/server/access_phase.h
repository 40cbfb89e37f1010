// The access phase: the answers of a request refused before its content is
// looked at, for a foreign Host or Origin, missing or wrong credentials, or
// a method that the server does not take.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_ACCESS_PHASE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_ACCESS_PHASE_H_

#include <chrono>
#include <string_view>

#include "server/authenticator.h"
#include "server/refusal.h"
#include "server/reply.h"

namespace zimrax::zmfile {

// A foreign Host or Origin, in plain text.
Reply SiteRefusalReply(const Refusal& refusal);

// The same for an upload that asked for JSON: the upload's JSON answer.
Reply UploadSiteRefusalReply(const Refusal& refusal);

// 401 with the challenge. REQUIRES: !outcome.allowed.
Reply CredentialsRefusedReply(const AuthOutcome& outcome);

// 503: `max_hash_checks` password checks already wait.
Reply TooManySignInsReply(int max_hash_checks);

// 429: the client's address (or the user it names) failed to sign in too
// often; it may try again after `wait`.
Reply SignInThrottledReply(std::chrono::steady_clock::duration wait);

// 405 for `method` on `path` (named in the answer, the path cut to 200
// bytes): GET and HEAD are answered, and POST only on /upload.
// `offers_delete` for a stored file's path on a server that deletes: Allow
// then names DELETE too.
Reply MethodNotAllowedReply(std::string_view method, std::string_view path, bool offers_delete);

// 405 for DELETE of a stored file on a server without --allow-delete.
Reply DeleteNotAllowedReply();

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_ACCESS_PHASE_H_
