// The answer to GET or HEAD /files/NAME, decided before a byte is sent: the
// file opened once (its descriptor is what is sent, so a file replaced
// under its name meanwhile is sent whole, old or new), its validators, the
// conditional and Range headers, and the answer's head.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_DOWNLOAD_ANSWER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_DOWNLOAD_ANSWER_H_

#include <utility>  // before Boost.Asio and Beast: g++ 12 in C++20 mode needs it first

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <cstdint>
#include <string>

#include "server/file_listing.h"

namespace zimrax::zmfile {

// The policy of every download: nothing in it may run on the server's
// origin, should a browser ever render it.
inline constexpr const char* kDownloadSecurityPolicy = "default-src 'none'; sandbox";

struct DownloadAnswer {
  // 200, 206, 304, 412 or 416 with the download's headers (Content-Length
  // for 200 and 206), or 400/404/500 when there is nothing to send (the
  // head then holds the status alone).
  boost::beast::http::response<boost::beast::http::empty_body> head;
  OpenedFile file;            // open for 200 and 206
  std::uint64_t first = 0;    // the bytes to send after the head:
  std::uint64_t length = 0;   // none for HEAD and for the short answers
};

// Opens `name` in `dir` (see OpenStoredFile) and decides the answer to the
// request with header fields `request`; `head_only` for HEAD.
DownloadAnswer AnswerDownload(const std::string& dir, const std::string& name,
                              const boost::beast::http::fields& request, bool head_only);

// The head of `response` as it goes on the wire, blank line included.
std::string SerializedHead(const boost::beast::http::response<boost::beast::http::empty_body>& response);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_DOWNLOAD_ANSWER_H_
