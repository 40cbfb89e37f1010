// The access and content phases of a request whose headers are read: the
// router picks the handler, and the connection sends what it answers.
#include <openssl/crypto.h>

#include "server/access_phase.h"
#include "server/ascii_text.h"
#include "server/client_address.h"
#include "server/connection.h"
#include "server/handlers.h"
#include "server/request_origin.h"
#include "server/router.h"
#include "server/server_core.h"

namespace zimrax::zmfile {

namespace asio = boost::asio;
namespace http = boost::beast::http;

void Connection::Dispatch() {
  auto& request = parser_->get();
  const std::string_view target(request.target().data(), request.target().size());
  method_ = std::string(request.method_string());
  path_ = RequestPath(target);
  json_ = Lowered(std::string(request[http::field::accept])).find("application/json") != std::string::npos;
  head_ = request.method() == http::verb::head;
  const bool has_body = parser_->chunked() || parser_->content_length().value_or(0) > 0;
  // A body is read only for an upload: any other request's connection
  // ends after its answer, so that its body is never taken for a request.
  keep_alive_ = request.keep_alive() && !has_body;
  const After after = keep_alive_ ? After::kKeepAlive : has_body ? After::kLinger : After::kClose;
  client_ = ClientAddress(request, peer_.address().to_string(), options_.trust_proxy);

  const std::optional<Refusal> site_refusal =
      CheckRequestSite(request, request.method(), request.version(), core_.own_origins());
  RequestFacts facts;
  facts.method = request.method();
  facts.path = path_;
  facts.wants_json = json_;
  facts.site_refused = site_refusal.has_value();
  facts.auth = core_.authenticator() == nullptr ? AuthState::kNotRequired
               : authorized_                    ? AuthState::kAllowed
                                                : AuthState::kUnchecked;
  switch (RouteRequest(facts)) {
    case Route::kSiteRefusal:
      return Send(SiteRefusalReply(*site_refusal), after);
    case Route::kUploadSiteRefusal:
      return Send(UploadSiteRefusalReply(*site_refusal), after);
    case Route::kAuthorize:
      // An upload's body is not read before its credentials are checked.
      return Authorize(after);
    case Route::kUpload:
      keep_alive_ = request.keep_alive();  // kept when the whole body is read
      return StartUpload();
    case Route::kResumable:
      return ServeResumable(after, has_body);
    case Route::kMethodNotAllowed:
      return Send(MethodNotAllowedReply(), has_body ? After::kLinger : after);
    case Route::kListing:
      return Send(ListingReply(options_.dir, target), after);
    case Route::kDownload:
      return Send(DownloadReply(options_.dir, DownloadName(path_)), after);
    case Route::kConfig:
      return Send(ConfigReply(core_.config()), after);
    case Route::kAsset:
      return Send(AssetReply(path_), after);
    case Route::kNotFound:
      return Send(NotFoundReply(), after);
  }
}

// Checks the request's credentials (on the hash threads when the cache
// does not know them), then dispatches it again or answers 401.
void Connection::Authorize(After after) {
  std::string header(parser_->get()[http::field::authorization]);
  if (std::optional<AuthOutcome> outcome = core_.authenticator()->CheckQuickly(header)) {
    return OnAuthorized(*outcome, after);
  }
  phase_ = Phase::kAuthorizing;
  Authenticator* authenticator = core_.authenticator();
  const bool posted =
      core_.PostHashCheck([self = shared_from_this(), authenticator, header = std::move(header), after]() mutable {
        AuthOutcome outcome = authenticator->Check(header);
        OPENSSL_cleanse(header.data(), header.size());
        asio::post(self->stream_.get_executor(), [self, outcome = std::move(outcome), after] {
          if (self->phase_ != Phase::kAuthorizing) return;
          self->OnAuthorized(outcome, after);
        });
      });
  if (!posted) return Send(TooManySignInsReply(options_.max_hash_checks), After::kLinger);
}

void Connection::OnAuthorized(const AuthOutcome& outcome, After after) {
  if (!outcome.allowed) return Send(CredentialsRefusedReply(outcome), after);
  authorized_ = true;
  user_ = outcome.user;
  Dispatch();
}

}  // namespace zimrax::zmfile
