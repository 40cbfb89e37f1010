// How a request's body is framed, checked on the raw header fields before
// anything reads the body: Transfer-Encoding and Content-Length are where
// request smuggling hides (a proxy and this server reading one body as two
// different lengths), so every shape whose length two readers could tell
// differently is refused and the connection closed.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_TRANSFER_FRAMING_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_TRANSFER_FRAMING_H_

#include <utility>  // before Boost.Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <optional>

#include "server/refusal.h"

namespace zimrax::zmfile {

// Returns why the framing of a request with `headers` and HTTP version
// `version` (10 or 11) is refused, or nullopt when it is sound: no
// Transfer-Encoding, or exactly one Transfer-Encoding field whose only
// coding is "chunked" (any case, blanks around it), on HTTP/1.1, without a
// Content-Length. Refused with 400: Transfer-Encoding together with
// Content-Length, more than one Transfer-Encoding field, a value that is
// not a plain list of codings (empty items, parameters, quotes, control
// bytes), a list whose last coding is not "chunked", Transfer-Encoding on
// HTTP/1.0. Refused with 501: a list that ends in "chunked" but also names
// another coding, which the server does not decode.
std::optional<Refusal> CheckBodyFraming(const boost::beast::http::fields& headers, unsigned version);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_TRANSFER_FRAMING_H_
