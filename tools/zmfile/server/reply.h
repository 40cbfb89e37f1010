// An answer made by a handler, before the connection sends it: the
// response itself and what the log line says about it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_REPLY_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_REPLY_H_

#include <utility>  // before Boost.Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "server/download_answer.h"
#include "server/refusal.h"

namespace zimrax::zmfile {

using StringResponse = boost::beast::http::response<boost::beast::http::string_body>;

// How the connection goes on once the answer is sent.
enum class After {
  kKeepAlive,  // reads the next request
  kClose,      // closes (after a short linger)
  kLinger,     // closes after draining what the client still sends
};

struct Reply {
  explicit Reply(StringResponse r) : response(std::move(r)) {}
  explicit Reply(DownloadAnswer a) : response(std::move(a)) {}

  // A download is sent with its own loop (sendfile on plain connections).
  std::variant<StringResponse, DownloadAnswer> response;
  std::string reason;              // why the request was refused, for the log; "" when it was not
  std::string stored_name;         // the names an upload stored, for the log
  std::string sha256;              // their SHA-256 digests in the same order, "/"-joined; "" without --digest
  std::vector<std::string> notes;  // lines for the server's log, written before the answer's
  // The refusal's reason for the metrics; kNone leaves it to the status (RefusalCauseOfStatus).
  RefusalCause refused_for = RefusalCause::kNone;
  std::uint64_t stored_bytes = 0;  // of the files an upload stored
  int stored_files = 0;
};

inline constexpr const char* kPageSecurityPolicy =
    "default-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'none'";

// A response of `status` with `body` of content type `type`.
StringResponse TextResponse(int status, std::string body, const std::string& type);

// `text` and a newline as plain UTF-8 text.
StringResponse PlainResponse(int status, const std::string& text);

// A plain-text refusal whose text is also the reason logged.
Reply FailReply(int status, const std::string& text);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_REPLY_H_
