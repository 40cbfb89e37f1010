// The checks an upload request must pass before a byte of its body is read:
// a multipart/form-data content type, no content coding, a Content-Length
// within the server's limit or a chunked body (whose decoded bytes the
// connection holds to the limit as they come).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_GATE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_GATE_H_

#include <utility>  // before Boost.Asio and Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <cstdint>
#include <optional>
#include <string>

#include "server/body_exchange.h"
#include "server/refusal.h"

namespace zimrax::zmfile {

// Returns why the upload with header fields `headers` must be refused, or
// nullopt when its body may be read, framed as *frame says.
// REQUIRES: CheckBodyFraming passed `headers`.
std::optional<Refusal> CheckUploadRequest(const boost::beast::http::fields& headers, std::uint64_t max_body,
                                          BodyFrame* frame);

// The value of a Content-Length header: decimal digits only, no sign, no
// blanks inside. Returns nullopt for anything else or a value past 2^64 - 1.
std::optional<std::uint64_t> ParseContentLength(const std::string& raw);

// True when `content_type` names multipart/form-data (any case, any parameters).
bool IsMultipartFormData(const std::string& content_type);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_GATE_H_
