#include "server/reply.h"

namespace zimrax::zmfile {

namespace http = boost::beast::http;

StringResponse TextResponse(int status, std::string body, const std::string& type) {
  StringResponse response{static_cast<http::status>(status), 11};
  response.set(http::field::content_type, type);
  response.body() = std::move(body);
  return response;
}

StringResponse PlainResponse(int status, const std::string& text) {
  return TextResponse(status, text + "\n", "text/plain; charset=utf-8");
}

Reply FailReply(int status, const std::string& text) {
  Reply reply{PlainResponse(status, text)};
  reply.reason = text;
  return reply;
}

}  // namespace zimrax::zmfile
