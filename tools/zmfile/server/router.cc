#include "server/router.h"

#include "server/embedded_assets.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

constexpr std::string_view kFilesPrefix = "/files/";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool HasBodyMethod(http::verb method) {
  return method == http::verb::post || method == http::verb::put || method == http::verb::patch ||
         method == http::verb::delete_;
}

bool IsAsset(std::string_view path) {
  return path.starts_with("/") && path.find('/', 1) == std::string_view::npos && !FindAsset(path).content_type.empty();
}

}  // namespace

Route RouteRequest(const RequestFacts& request) {
  const bool upload = request.method == http::verb::post && request.path == kUploadPath;
  // Never the HTML answer, which lists the stored files: a page under a
  // rebound name could read it.
  if (request.site_refused) return upload && request.wants_json ? Route::kUploadSiteRefusal : Route::kSiteRefusal;
  if (request.auth == AuthState::kUnchecked) return Route::kAuthorize;
  if (upload) return Route::kUpload;
  if (request.path == "/resumable" || request.path.starts_with("/resumable/")) return Route::kResumable;
  if (request.method == http::verb::delete_ && IsStoredFilePath(request.path)) {
    return request.delete_allowed ? Route::kDelete : Route::kDeleteNotAllowed;
  }
  if (HasBodyMethod(request.method) || (request.method != http::verb::get && request.method != http::verb::head)) {
    return Route::kMethodNotAllowed;
  }
  if (request.path == "/files") return Route::kListing;
  if (IsStoredFilePath(request.path)) return Route::kDownload;
  if (request.path == "/config") return Route::kConfig;
  if (IsAsset(request.path)) return Route::kAsset;
  return Route::kNotFound;
}

std::string RequestPath(std::string_view target) {
  target = target.substr(0, target.find('?'));
  std::string path;
  path.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target[i] == '%' && i + 2 < target.size() && HexDigit(target[i + 1]) >= 0 && HexDigit(target[i + 2]) >= 0) {
      path += static_cast<char>(HexDigit(target[i + 1]) * 16 + HexDigit(target[i + 2]));
      i += 2;
    } else {
      path += target[i];
    }
  }
  return path;
}

bool IsStoredFilePath(std::string_view path) {
  return path.starts_with(kFilesPrefix) && path.size() > kFilesPrefix.size();
}

std::string DownloadName(std::string_view path) { return std::string(path.substr(kFilesPrefix.size())); }

}  // namespace zimrax::zmfile
