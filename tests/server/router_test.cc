// The router alone: which handler answers a request, given its method,
// path, Accept and the access phase's verdicts. No sockets.
#include "server/router.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

struct RouteCase {
  http::verb method;
  std::string path;
  bool json;
  bool site_refused;
  AuthState auth;
  Route expected;
  bool delete_allowed = false;
};

TEST(RouterTest, EachRequestReachesItsHandler) {
  using enum AuthState;
  const auto post = http::verb::post;
  const auto get = http::verb::get;
  const std::vector<RouteCase> cases = {
      // A foreign site is refused before credentials cost a password check;
      // only an upload that wants JSON gets the upload's JSON answer.
      {post, "/upload", true, true, kUnchecked, Route::kUploadSiteRefusal},
      {post, "/upload", false, true, kAllowed, Route::kSiteRefusal},
      {get, "/files", true, true, kNotRequired, Route::kSiteRefusal},
      {post, "/files", true, true, kNotRequired, Route::kSiteRefusal},
      // Credentials before anything else, the upload's body included.
      {post, "/upload", true, false, kUnchecked, Route::kAuthorize},
      {get, "/nowhere", false, false, kUnchecked, Route::kAuthorize},
      {post, "/upload", false, false, kAllowed, Route::kUpload},
      {post, "/upload", true, false, kNotRequired, Route::kUpload},
      // Only POST /upload takes a body; only GET and HEAD read.
      {http::verb::put, "/upload", false, false, kNotRequired, Route::kMethodNotAllowed},
      {post, "/files", false, false, kNotRequired, Route::kMethodNotAllowed},
      {post, "/upload/", false, false, kNotRequired, Route::kMethodNotAllowed},
      // DELETE of a stored file: only with --allow-delete, after the site and credential checks.
      {http::verb::delete_, "/files/a.txt", false, false, kAllowed, Route::kDeleteNotAllowed},
      {http::verb::delete_, "/files/a.txt", false, false, kAllowed, Route::kDelete, true},
      {http::verb::delete_, "/files/a.txt", false, false, kNotRequired, Route::kDelete, true},
      {http::verb::delete_, "/files/a.txt", false, false, kUnchecked, Route::kAuthorize, true},
      {http::verb::delete_, "/files/a.txt", false, true, kAllowed, Route::kSiteRefusal, true},
      {http::verb::delete_, "/files/", false, false, kAllowed, Route::kMethodNotAllowed, true},
      {http::verb::delete_, "/files", false, false, kAllowed, Route::kMethodNotAllowed, true},
      {http::verb::delete_, "/config", false, false, kAllowed, Route::kMethodNotAllowed, true},
      {http::verb::options, "/", false, false, kNotRequired, Route::kMethodNotAllowed},
      // The resumable uploads take every method, after the same site and
      // credential checks; a foreign site's preflight is refused.
      {http::verb::options, "/resumable/", false, false, kNotRequired, Route::kResumable},
      {http::verb::options, "/resumable/", false, true, kNotRequired, Route::kSiteRefusal},
      {http::verb::patch, "/resumable/0123", false, false, kUnchecked, Route::kAuthorize},
      {http::verb::patch, "/resumable/0123", false, false, kAllowed, Route::kResumable},
      {http::verb::delete_, "/resumable/0123", false, false, kNotRequired, Route::kResumable},
      {http::verb::delete_, "/resumable/0123", false, false, kAllowed, Route::kResumable, true},
      {post, "/resumable", false, false, kNotRequired, Route::kResumable},
      {post, "/resumablex", false, false, kNotRequired, Route::kMethodNotAllowed},
      {http::verb::patch, "/config", false, false, kNotRequired, Route::kMethodNotAllowed},
      // The readers.
      {get, "/files", true, false, kNotRequired, Route::kListing},
      {http::verb::head, "/files", false, false, kAllowed, Route::kListing},
      {get, "/files/a.txt", false, false, kNotRequired, Route::kDownload},
      {get, "/files/a/b", false, false, kNotRequired, Route::kDownload},  // the handler refuses the name
      {get, "/files/", false, false, kNotRequired, Route::kNotFound},
      {get, "/config", true, false, kNotRequired, Route::kConfig},
      {get, "/", false, false, kNotRequired, Route::kAsset},
      {http::verb::head, "/app.js", false, false, kNotRequired, Route::kAsset},
      {get, "/app.css", false, false, kAllowed, Route::kAsset},
      {get, "/missing.css", false, false, kNotRequired, Route::kNotFound},
      {get, "/sub/app.css", false, false, kNotRequired, Route::kNotFound},
      {get, "/upload", false, false, kNotRequired, Route::kNotFound},
      {get, "", false, false, kNotRequired, Route::kNotFound},
  };
  for (const RouteCase& c : cases) {
    RequestFacts facts;
    facts.method = c.method;
    facts.path = c.path;
    facts.wants_json = c.json;
    facts.site_refused = c.site_refused;
    facts.auth = c.auth;
    facts.delete_allowed = c.delete_allowed;
    EXPECT_EQ(RouteRequest(facts), c.expected)
        << http::to_string(c.method) << " " << c.path << " json=" << c.json << " site_refused=" << c.site_refused
        << " auth=" << static_cast<int>(c.auth) << " delete_allowed=" << c.delete_allowed;
  }
}

TEST(RouterTest, TheTargetsPathIsDecodedWithoutItsQuery) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/files/a%20b.txt?x=%41", "/files/a b.txt"},
      {"/files/%41%62", "/files/Ab"},
      {"/files/100%", "/files/100%"},    // a cut-off escape stays
      {"/files/%zz%4", "/files/%zz%4"},  // as does a malformed one
      {"/files/%2e%2E", "/files/.."},    // decoded: the handler's name check refuses it
      {"/?", "/"},
  };
  for (const auto& [target, path] : cases) EXPECT_EQ(RequestPath(target), path) << target;
  EXPECT_EQ(DownloadName(RequestPath("/files/r%C3%A9sum%C3%A9.pdf")), "r\xC3\xA9sum\xC3\xA9.pdf");
}

}  // namespace
}  // namespace zimrax::zmfile
