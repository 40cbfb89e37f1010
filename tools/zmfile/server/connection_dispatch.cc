// The access and content phases of a request whose headers are read: the
// router picks the handler, and the connection sends what it answers.
#include <openssl/crypto.h>

#include "server/access_phase.h"
#include "server/basic_credentials.h"
#include "server/ascii_text.h"
#include "server/client_address.h"
#include "server/connection.h"
#include "server/handlers.h"
#include "server/listing_query.h"
#include "server/request_origin.h"
#include "server/request_target.h"
#include "server/router.h"
#include "server/server_core.h"
#include "server/transfer_framing.h"
#include "server/upload_exchange.h"

namespace zimrax::zmfile {

namespace asio = boost::asio;
namespace http = boost::beast::http;

namespace {

// The user an Authorization header names, "" when it names none.
std::string UserNamed(const std::string& authorization) {
  std::optional<BasicCredentials> credentials = ParseBasicAuthorization(authorization);
  if (!credentials) return "";
  OPENSSL_cleanse(credentials->password.data(), credentials->password.size());
  return credentials->user;
}

}  // namespace

std::optional<Reply> Connection::CheckTargetAndExpectation() {
  auto& request = parser_->get();
  const std::string_view raw(request.target().data(), request.target().size());
  OriginFormTarget target = OriginFormOf(raw, core_.own_origins());
  if (target.refusal) {
    path_ = RequestPath(raw);
    return FailReply(target.refusal->status, target.refusal->message);
  }
  target_ = std::move(target.target);
  path_ = RequestPath(target_);
  if (std::optional<Refusal> refusal = CheckExpectation(request)) return FailReply(refusal->status, refusal->message);
  return std::nullopt;
}

void Connection::Dispatch() {
  auto& request = parser_->get();
  method_ = std::string(request.method_string());
  std::optional<Reply> target_refusal = CheckTargetAndExpectation();
  const std::string_view target = target_;
  json_ = Lowered(std::string(request[http::field::accept])).find("application/json") != std::string::npos;
  head_ = request.method() == http::verb::head;
  const bool has_body = parser_->chunked() || parser_->content_length().value_or(0) > 0;
  // A body is read only for an upload: any other request's connection
  // ends after its answer, so that its body is never taken for a request.
  keep_alive_ = request.keep_alive() && !has_body;
  const After after = keep_alive_ ? After::kKeepAlive : has_body ? After::kLinger : After::kClose;
  client_ = ClientAddress(request, peer_.address().to_string(), options_.trust_proxy);
  // A body whose length this server could read otherwise than a proxy in
  // front of it is refused before anything else, and the connection ends.
  if (std::optional<Refusal> framing = CheckBodyFraming(request, request.version())) {
    keep_alive_ = false;
    UploadReport report;
    report.refusal = std::move(framing);
    Reply reply = json_ ? UploadExchange::Answer(report, true, options_.dir)
                        : FailReply(report.refusal->status, report.refusal->message);
    reply.reason = report.refusal->message;
    return Send(std::move(reply), After::kLinger);
  }
  // Before anything else: the route and the body depend on them.
  if (target_refusal) return Send(std::move(*target_refusal), has_body ? After::kLinger : after);

  const std::optional<Refusal> site_refusal =
      CheckRequestSite(request, request.method(), request.version(), core_.own_origins());
  RequestFacts facts;
  facts.method = request.method();
  facts.path = path_;
  facts.wants_json = json_;
  facts.site_refused = site_refusal.has_value();
  facts.delete_allowed = options_.allow_delete;
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
      return Send(MethodNotAllowedReply(method_, path_, options_.allow_delete && IsStoredFilePath(path_)),
                  has_body ? After::kLinger : after);
    case Route::kDeleteNotAllowed:
      return Send(DeleteNotAllowedReply(), has_body ? After::kLinger : after);
    case Route::kDelete: {
      Reply reply = DeleteReply(options_.dir, DownloadName(path_), options_.fsync);
      // A listing scanned before the delete must not show the name again.
      core_.listing().Invalidate();
      return Send(std::move(reply), has_body ? After::kLinger : after);
    }
    case Route::kListing:
      return List(target, after);
    case Route::kDownload:
      return Send(DownloadReply(options_.dir, DownloadName(path_), request, head_), after);
    case Route::kConfig:
      return Send(ConfigReply(core_.config()), after);
    case Route::kAsset:
      return Send(AssetReply(path_), after);
    case Route::kNotFound:
      return Send(NotFoundReply(), after);
  }
}

// Checks the request's credentials (on the hash threads when the cache
// does not know them), then dispatches it again or answers 401. An address
// or user name failing again and again waits (429, without a hash), and an
// address takes at most its share of the hash places.
void Connection::Authorize(After after) {
  std::string header(parser_->get()[http::field::authorization]);
  Authenticator* authenticator = core_.authenticator();
  if (std::optional<AuthOutcome> outcome = authenticator->CheckQuickly(header)) return OnAuthorized(*outcome, after);
  const std::string address = peer_.address().to_string();
  const std::string user = UserNamed(header);
  SignInThrottle& throttle = core_.sign_in_throttle();
  if (const auto wait = throttle.WaitFor(address, user, Clock::now())) {
    // Closed after the answer: a new connection costs the client an accept.
    return Send(SignInThrottledReply(*wait), After::kLinger);
  }
  if (!throttle.TryTakeHashPlace(address)) return Send(TooManySignInsReply(options_.max_hash_checks), After::kLinger);
  phase_ = Phase::kWaiting;
  const bool posted = core_.PostHashCheck(
      address, [self = shared_from_this(), authenticator, &throttle, address, user, header = std::move(header), after]() mutable {
        AuthOutcome outcome = authenticator->Check(header);
        OPENSSL_cleanse(header.data(), header.size());
        throttle.GiveBackHashPlace(address);
        if (outcome.allowed) {
          throttle.Succeeded(address, user);
        } else {
          throttle.Failed(address, user, Clock::now());
        }
        asio::post(self->stream_.get_executor(), [self, outcome = std::move(outcome), after] {
          if (self->phase_ != Phase::kWaiting) return;
          self->OnAuthorized(outcome, after);
        });
      });
  if (!posted) {
    throttle.GiveBackHashPlace(address);
    return Send(TooManySignInsReply(options_.max_hash_checks), After::kLinger);
  }
}

void Connection::List(std::string_view target, After after) {
  const ListingQuery query = ParseListingQuery(target);
  if (!query.error.empty()) return Send(ListingQueryRefusedReply(query.error), after);
  phase_ = Phase::kWaiting;
  const bool asked = core_.listing().Request(
      peer_.address().to_string(), query.limit, query.after, [self = shared_from_this(), after](const Listing& page) {
        asio::post(self->stream_.get_executor(), [self, reply = ListingPageReply(page), after]() mutable {
          if (self->phase_ != Phase::kWaiting) return;
          self->Send(std::move(reply), after);
        });
      });
  if (!asked) Send(TooManyListingsReply(), after);
}

void Connection::OnAuthorized(const AuthOutcome& outcome, After after) {
  if (!outcome.allowed) return Send(CredentialsRefusedReply(outcome), after);
  authorized_ = true;
  user_ = outcome.user;
  Dispatch();
}

}  // namespace zimrax::zmfile
