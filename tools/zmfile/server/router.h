// Which handler answers a request: a plain function of the parsed request
// and the access phase's verdicts, with no socket in sight.
//
//   GET  /              the upload page (also /app.css, /app.js)
//   GET  /config        the server's limits for the page
//   POST /upload        an upload
//   GET  /files         the stored files as JSON
//   GET  /files/NAME    one stored file, as an attachment (ranges, validators)
//   DELETE /files/NAME  removes it, with --allow-delete
//   any  /resumable/    resumable uploads (resumable_handler.h)
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_ROUTER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_ROUTER_H_

#include <utility>  // before Boost.Beast: g++ 12 in C++20 mode needs it first

#include <ostream>  // Beast's verb.hpp streams a string_view without including it

#include <boost/beast/http/verb.hpp>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

inline constexpr const char* kUploadPath = "/upload";

// What the access phase knows of the request's credentials.
enum class AuthState {
  kNotRequired,  // the server has no users
  kUnchecked,    // the server has users; the request's credentials are not checked yet
  kAllowed,      // the credentials name a user
};

struct RequestFacts {
  boost::beast::http::verb method = boost::beast::http::verb::get;
  std::string_view path;      // the target's path, decoded (RequestPath)
  bool wants_json = false;    // Accept names application/json
  bool site_refused = false;  // the Host or Origin check refused the request
  AuthState auth = AuthState::kNotRequired;
  bool delete_allowed = false;  // --allow-delete
};

enum class Route {
  kSiteRefusal,        // a plain-text refusal of a foreign Host or Origin
  kUploadSiteRefusal,  // the same for an upload that wants JSON: the upload's JSON answer
  kAuthorize,          // check the credentials first, then route again
  kUpload,
  kResumable,          // the resumable-upload protocol, any method
  kMethodNotAllowed,   // 405: only POST /upload takes a body
  kDeleteNotAllowed,   // 405: DELETE of a stored file, on a server without --allow-delete
  kDelete,             // DELETE of the file named by the path after "/files/"
  kListing,
  kDownload,  // the file named by the path after "/files/"
  kConfig,
  kAsset,  // one of the page's embedded files
  kNotFound,
};

// The route of a request. A foreign site is refused before credentials are
// checked (so it costs no password hash), and credentials before anything
// else is looked at.
Route RouteRequest(const RequestFacts& request);

// The path of a request target: the query left off, %XX escapes decoded
// (a malformed escape stays as it is).
std::string RequestPath(std::string_view target);

// True for "/files/NAME" with a non-empty NAME: a stored file's path.
bool IsStoredFilePath(std::string_view path);

// "/files/NAME": NAME. REQUIRES: IsStoredFilePath(path).
std::string DownloadName(std::string_view path);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_ROUTER_H_
