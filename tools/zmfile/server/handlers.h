// The content phase: one handler per kind of answer, each a function of
// the request's parts that makes a Reply (the upload's is UploadExchange).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HANDLERS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HANDLERS_H_

#include <utility>  // before Boost.Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/fields.hpp>
#include <string>
#include <string_view>

#include "server/file_listing.h"
#include "server/reply.h"
#include "server/serve_config.h"
#include "server/server_metrics.h"

namespace zimrax::zmfile {

// GET /files?limit=N&after=CURSOR: a page of the stored files (scanned by
// the ListingService) as JSON.
Reply ListingPageReply(const Listing& page);

// 400 for a listing query that does not parse (ListingQuery::error).
Reply ListingQueryRefusedReply(const std::string& error);

// 503: the client has as many listings waiting as it may, or the server has.
Reply TooManyListingsReply();

// GET or HEAD (`head_only`) /files/NAME: the stored file `name` in `dir` as
// an attachment, under the conditional and Range headers of `request` (see
// AnswerDownload); 400 for a name that is not a plain file name, 404 for no
// such file (hidden names included).
Reply DownloadReply(const std::string& dir, const std::string& name, const boost::beast::http::fields& request,
                    bool head_only);

// DELETE /files/NAME: 204 once `name` is removed from `dir` (see
// DeleteStoredFile; `durable` syncs the folder first), 404 when there is no
// such stored file, 400 for a name that is not plain, 500 when the file
// system refuses.
Reply DeleteReply(const std::string& dir, const std::string& name, bool durable);

// GET /config: what the upload page needs to know of `config`.
Reply ConfigReply(const ServeConfig& config);

// GET /metrics: `metrics` in the Prometheus text format.
Reply MetricsReply(const ServerMetrics& metrics);

// One of the page's embedded files. REQUIRES: RouteRequest gave kAsset for `path`.
Reply AssetReply(std::string_view path);

// 404 for a path that names nothing.
Reply NotFoundReply();

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HANDLERS_H_
