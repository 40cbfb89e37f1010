// HTTP dates (RFC 9110, section 5.6.7): written as IMF-fixdate, read in all
// three forms a recipient must accept.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HTTP_DATE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HTTP_DATE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

// "Sun, 06 Nov 1994 08:49:37 GMT" for `seconds` since 1970 (UTC).
std::string FormatHttpDate(std::int64_t seconds);

// Seconds since 1970 of an IMF-fixdate, an RFC 850 date ("Sunday,
// 06-Nov-94 08:49:37 GMT") or an asctime date ("Sun Nov  6 08:49:37 1994").
// Returns nullopt for anything else, trailing text included.
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HTTP_DATE_H_
