// The resumable-upload protocol (tus 1.0.0) at /resumable/: the content
// phase of a request that passed the Host, Origin and credential checks.
// A request without a body to read gets its answer; a PATCH (or a creation
// POST with data) that may go on gets the exchange its body is read into.
//
//   OPTIONS /resumable/      what the server supports (no Tus-Resumable needed)
//   POST    /resumable/      creation, with or without data
//   HEAD    /resumable/ID    the offset, the length and, once done, the outcome
//   PATCH   /resumable/ID    data at the offset
//   DELETE  /resumable/ID    termination
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_HANDLER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_HANDLER_H_

#include <utility>  // before Boost.Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/verb.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include "server/body_exchange.h"
#include "server/reply.h"
#include "server/serve_config.h"
#include "server/staging_store.h"

namespace zimrax::zmfile {

struct ResumableRequest {
  const boost::beast::http::fields& headers;
  boost::beast::http::verb method;
  std::string_view path;  // decoded, starting with kResumablePath or equal to "/resumable"
  std::string user;       // the authenticated user; "" on a server without users
  std::string client;     // the client's address
  std::uint64_t body_length = 0;
  bool chunked = false;  // the body's length is not declared
};

struct ResumableStart {
  std::optional<Reply> reply;              // the answer, when there is no body to read
  std::unique_ptr<BodyExchange> exchange;  // otherwise what the body is read into
};

ResumableStart StartResumable(const ServeConfig& config, const ResumableRequest& request);

// The parts of StartResumable, each given the staging store.
ResumableStart StartCreation(const ServeConfig& config, const StagingStore& store, const ResumableRequest& request);
ResumableStart StartPatch(const ServeConfig& config, const StagingStore& store, const ResumableRequest& request,
                          UploadRecord record);

// The data of a PATCH, or of a creation POST (`creation`), at `offset`:
// refused, or the exchange that appends it under the upload's lock.
ResumableStart StartData(const ServeConfig& config, const StagingStore& store, const ResumableRequest& request,
                         UploadRecord record, std::uint64_t offset, bool creation);

// The value of the header `name` ("" when absent), and whether it is there.
inline std::string_view HeaderValue(const boost::beast::http::fields& headers, std::string_view name) {
  const auto value = headers[boost::beast::string_view(name.data(), name.size())];
  return {value.data(), value.size()};
}
inline std::string_view HeaderValue(const boost::beast::http::fields& headers, boost::beast::http::field name) {
  const auto value = headers[name];
  return {value.data(), value.size()};
}
inline bool HasHeader(const boost::beast::http::fields& headers, std::string_view name) {
  return headers.find(boost::beast::string_view(name.data(), name.size())) != headers.end();
}

// True for application/offset+octet-stream (any case, any parameters).
bool IsOffsetStream(std::string_view content_type);

// Seconds since the epoch.
std::int64_t NowSeconds();

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_HANDLER_H_
