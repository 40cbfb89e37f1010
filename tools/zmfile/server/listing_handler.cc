#include "server/answers.h"
#include "server/file_listing.h"
#include "server/handlers.h"

namespace zimrax::zmfile {

Reply ListingPageReply(const Listing& page) {
  StringResponse response = TextResponse(200, ListingJson(page), "application/json");
  response.set(boost::beast::http::field::cache_control, "no-store");
  return Reply{std::move(response)};
}

Reply ListingQueryRefusedReply(const std::string& error) {
  Reply reply = FailReply(400, error);
  reply.notes.push_back("listing refused: " + error);
  return reply;
}

Reply TooManyListingsReply() {
  StringResponse response = PlainResponse(503, "Too many listings at once; try again shortly.");
  response.set(boost::beast::http::field::retry_after, "1");
  Reply reply{std::move(response)};
  reply.reason = "too many listings waiting";
  reply.refused_for = RefusalCause::kBudgets;
  return reply;
}

}  // namespace zimrax::zmfile
