#include "server/answers.h"
#include "server/file_listing.h"
#include "server/handlers.h"
#include "server/listing_query.h"

namespace zimrax::zmfile {

Reply ListingReply(const std::string& dir, std::string_view target) {
  const ListingQuery query = ParseListingQuery(target);
  if (!query.error.empty()) {
    Reply reply = FailReply(400, query.error);
    reply.notes.push_back("listing refused: " + query.error);
    return reply;
  }
  StringResponse response =
      TextResponse(200, ListingJson(ListStoredFiles(dir, query.limit, query.after)), "application/json");
  response.set(boost::beast::http::field::cache_control, "no-store");
  return Reply{std::move(response)};
}

}  // namespace zimrax::zmfile
