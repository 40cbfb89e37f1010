#include "server/handlers.h"

namespace zimrax::zmfile {

Reply MetricsReply(const ServerMetrics& metrics) {
  StringResponse response = TextResponse(200, PrometheusText(metrics), kPrometheusTextType);
  response.set(boost::beast::http::field::cache_control, "no-store");
  return Reply{std::move(response)};
}

}  // namespace zimrax::zmfile
