#include "server/access_phase.h"

#include "server/answers.h"
#include "server/router.h"
#include "server/upload_report.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

constexpr const char* kAuthenticate = "Basic realm=\"zmfile\", charset=\"UTF-8\"";

}  // namespace

Reply SiteRefusalReply(const Refusal& refusal) {
  Reply reply = FailReply(refusal.status, refusal.message);
  reply.refused_for = RefusalCause::kOrigin;
  return reply;
}

Reply UploadSiteRefusalReply(const Refusal& refusal) {
  UploadReport report;
  report.refusal = refusal;
  Reply reply{TextResponse(HttpStatusOf(report), UploadJson(report), "application/json")};
  reply.reason = refusal.message;
  reply.refused_for = RefusalCause::kOrigin;
  return reply;
}

Reply CredentialsRefusedReply(const AuthOutcome& outcome) {
  StringResponse response = PlainResponse(401, "This server needs a user name and password.");
  response.set(http::field::www_authenticate, kAuthenticate);
  Reply reply{std::move(response)};
  reply.reason = outcome.reason;
  reply.refused_for = RefusalCause::kAuth;
  reply.notes.push_back("401: " + outcome.reason);
  return reply;
}

Reply TooManySignInsReply(int max_hash_checks) {
  StringResponse response = PlainResponse(503, "Too many sign-ins at once; try again shortly.");
  response.set(http::field::retry_after, "1");
  Reply reply{std::move(response)};
  reply.reason = "too many password checks waiting";
  reply.refused_for = RefusalCause::kBudgets;
  reply.notes.push_back("refused: " + std::to_string(max_hash_checks) + " password checks already waiting");
  return reply;
}

Reply SignInThrottledReply(std::chrono::steady_clock::duration wait) {
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
  StringResponse response = PlainResponse(429, "Too many failed sign-ins; try again in " + std::to_string(seconds) + " s.");
  response.set(http::field::retry_after, std::to_string(seconds));
  Reply reply{std::move(response)};
  reply.reason = "sign-in throttled after failures";
  reply.refused_for = RefusalCause::kAuth;
  return reply;
}

Reply MethodNotAllowedReply(std::string_view method, std::string_view path, bool offers_delete) {
  const std::string reason = std::string(method) + " is not allowed on " + std::string(path.substr(0, 200)) +
                             ": this server answers GET and HEAD, and takes uploads as POST " +
                             std::string(kUploadPath) + ".";
  StringResponse response = PlainResponse(405, reason);
  response.set(http::field::allow, offers_delete ? "GET, HEAD, DELETE" : "GET, HEAD");
  Reply reply{std::move(response)};
  reply.reason = reason;
  return reply;
}

Reply DeleteNotAllowedReply() {
  const std::string reason = "This server does not delete files (it runs without --allow-delete).";
  StringResponse response = PlainResponse(405, reason);
  response.set(http::field::allow, "GET, HEAD");
  Reply reply{std::move(response)};
  reply.reason = reason;
  return reply;
}

}  // namespace zimrax::zmfile
