// The address a request is logged under: the connection's peer, or behind
// a trusted reverse proxy the client that the proxy names.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_CLIENT_ADDRESS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_CLIENT_ADDRESS_H_

#include <utility>  // before Boost.Asio and Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <string>

namespace zimrax::zmfile {

// Without `trust_proxy`: `peer`. With it: the rightmost address of the
// X-Forwarded-For headers (taken together, in order), which is the one the
// proxy itself appended; entries left of it were sent by the client and
// prove nothing. `peer` when there is no such header or its rightmost
// entry is not an IP address. Addresses come out in canonical text.
std::string ClientAddress(const boost::beast::http::fields& headers, const std::string& peer, bool trust_proxy);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_CLIENT_ADDRESS_H_
