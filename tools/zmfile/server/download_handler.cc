#include <boost/beast/core/file.hpp>

#include "server/file_listing.h"
#include "server/file_name_rules.h"
#include "server/handlers.h"

namespace zimrax::zmfile {

Reply DownloadReply(const std::string& dir, const std::string& name) {
  namespace beast = boost::beast;
  namespace http = beast::http;
  if (!IsPlainFileName(name)) return FailReply(400, "Not a plain file name.");
  OpenedFile opened = OpenStoredFile(dir, name);
  if (!opened.ok()) return FailReply(404, "No such file.");
  beast::file file;
  file.native_handle(opened.Release());
  http::file_body::value_type body;
  beast::error_code error;
  body.reset(std::move(file), error);
  if (error) return FailReply(500, "The file cannot be read.");
  FileResponse response{http::status::ok, 11, std::move(body)};
  response.set(http::field::content_type, "application/octet-stream");
  response.set(http::field::content_disposition, AttachmentDisposition(name));
  response.set(http::field::cache_control, "no-store");
  return Reply{std::move(response)};
}

}  // namespace zimrax::zmfile
