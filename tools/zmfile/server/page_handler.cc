#include "server/embedded_assets.h"
#include "server/handlers.h"

namespace zimrax::zmfile {

Reply AssetReply(std::string_view path) {
  namespace http = boost::beast::http;
  const Asset asset = FindAsset(path);
  StringResponse response = TextResponse(200, std::string(asset.bytes), std::string(asset.content_type));
  if (asset.content_type.starts_with("text/html")) response.set("Content-Security-Policy", kPageSecurityPolicy);
  response.set(http::field::cache_control, "no-cache");
  return Reply{std::move(response)};
}

Reply NotFoundReply() { return FailReply(404, "Not found."); }

}  // namespace zimrax::zmfile
