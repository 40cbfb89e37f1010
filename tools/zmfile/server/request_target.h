// The request target and expectation checks: an absolute-form target
// ("http://host:port/upload", which a server must accept) is taken as its
// path when it names this server, and refused like a foreign Host when it
// does not; an Expect other than 100-continue cannot be met.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_TARGET_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_TARGET_H_

#include <utility>  // before Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/request_gate.h"
#include "server/request_origin.h"

namespace zimrax::zmfile {

struct OriginFormTarget {
  std::string target;              // "/path?query": the origin form, when not refused
  std::optional<Refusal> refusal;  // 421 for another server's authority, 400 for no path at all
};

// `target` itself when it starts with "/"; the path and query of an
// absolute-form target whose scheme, host and port are one of `own`; a
// refusal otherwise.
OriginFormTarget OriginFormOf(std::string_view target, const std::vector<WebOrigin>& own);

// 417 when an Expect header holds anything but 100-continue (any case).
std::optional<Refusal> CheckExpectation(const boost::beast::http::fields& headers);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_TARGET_H_
