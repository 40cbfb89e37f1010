// Whether a request is addressed to this server and comes from its own
// pages: the Host header must name the server (a rebound DNS name does
// not), and a request that may change something (any method but GET and
// HEAD) must come from one of the server's own origins (a form on another
// site must not store or replace files here).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_ORIGIN_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_ORIGIN_H_

#include <utility>  // before Boost.Asio and Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/verb.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/public_url.h"
#include "server/refusal.h"
#include "server/web_origin.h"

namespace zimrax::zmfile {

// The origins the server answers as. For a loopback `bound_address`:
// localhost, 127.0.0.1 and [::1] on `port`; always the bound address on
// `port` (unless it is a wildcard such as 0.0.0.0); and each public URL's
// origin. The scheme is https when `tls`, else http.
std::vector<WebOrigin> OwnOrigins(std::string_view bound_address, int port, bool tls,
                                  const std::vector<PublicUrl>& public_urls);

// Returns why a request must be refused, or nullopt when it may go on:
// 400 for an HTTP/1.1 request without exactly one Host header (HTTP/1.0
// may leave it out); 421 for a Host that names none of `own`; 403 for a
// method other than GET or HEAD whose Sec-Fetch-Site is neither
// same-origin nor none, whose Origin (or, without one, whose Referer's
// origin) is not in `own`, or whose Origin is "null". A request with
// neither Origin nor Referer (curl, scripts) passes.
std::optional<Refusal> CheckRequestSite(const boost::beast::http::fields& headers, boost::beast::http::verb method,
                                        unsigned version, const std::vector<WebOrigin>& own);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_ORIGIN_H_
