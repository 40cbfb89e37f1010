// The query of GET /files: a page size and an opaque cursor that resumes
// the listing just after the last file of the page before.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_LISTING_QUERY_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_LISTING_QUERY_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "server/file_listing.h"

namespace zimrax::zmfile {

inline constexpr std::size_t kDefaultListLimit = 100;
inline constexpr std::size_t kMaxListLimit = 1000;

struct ListingQuery {
  std::size_t limit = kDefaultListLimit;
  std::optional<ListingCursor> after;  // none: from the newest file
  std::string error;                   // why the query is refused; "" when it is good
};

// Reads limit=N (1 to kMaxListLimit) and cursor=C from the request target
// `target` ("/files?limit=50&cursor=..."). Other parameters are ignored.
// Returns error set for a limit that is not such a number or a cursor this
// server did not make.
ListingQuery ParseListingQuery(std::string_view target);

// The cursor as URL-safe text: hexadecimal of the change time (8 bytes, big
// endian) and the raw name bytes.
std::string EncodeCursor(const ListingCursor& cursor);

// The cursor of `text`; nullopt for text EncodeCursor cannot have made.
std::optional<ListingCursor> DecodeCursor(std::string_view text);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_LISTING_QUERY_H_
