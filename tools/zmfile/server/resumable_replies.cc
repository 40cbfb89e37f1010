#include "server/resumable_replies.h"

#include <ctime>

#include "server/answers.h"
#include "server/tus_headers.h"

namespace zimrax::zmfile {
namespace {

constexpr const char* kExtensions =
    "creation,creation-with-upload,creation-defer-length,termination,expiration,checksum";

}  // namespace

Reply TusReply(int status) {
  StringResponse response;
  response.result(static_cast<unsigned>(status));
  response.set("Tus-Resumable", std::string(kTusVersion));
  response.set(boost::beast::http::field::cache_control, "no-store");
  response.content_length(0);
  return Reply{std::move(response)};
}

Reply TusRefusal(int status, const std::string& message) {
  StringResponse response = PlainResponse(status, message);
  response.set("Tus-Resumable", std::string(kTusVersion));
  response.set(boost::beast::http::field::cache_control, "no-store");
  Reply reply{std::move(response)};
  reply.reason = message;
  return reply;
}

std::string StagingFullNote(std::uint64_t held, std::uint64_t cap) {
  return "507: unfinished resumable uploads hold " + std::to_string(held) + " bytes, --resumable-max-staging " +
         std::to_string(cap);
}

Reply StagingFullReply(std::uint64_t held, std::uint64_t cap) {
  Reply reply = TusRefusal(507, kNoStagingRoom);
  reply.notes.push_back(StagingFullNote(held, cap));
  return reply;
}

Reply BadHeaderReply(std::string_view header, const std::string& why) {
  return TusRefusal(400, std::string(header) + ": " + why);
}

Reply UnsupportedVersionReply() {
  Reply reply = TusRefusal(412, "Tus-Resumable: this server speaks version " + std::string(kTusVersion) + ".");
  std::get<StringResponse>(reply.response).set("Tus-Version", std::string(kTusVersion));
  return reply;
}

Reply CapabilitiesReply(const ServeConfig& config) {
  Reply reply = TusReply(204);
  StringResponse& response = std::get<StringResponse>(reply.response);
  response.set("Tus-Version", std::string(kTusVersion));
  response.set("Tus-Extension", kExtensions);
  response.set("Tus-Max-Size", std::to_string(config.options.max_body));
  response.set("Tus-Checksum-Algorithm", "sha1,sha256");
  return reply;
}

std::string HttpDate(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts;
  gmtime_r(&time, &parts);
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return std::string(text, n);
}

void SetRecordHeaders(const UploadRecord& record, StringResponse& response) {
  response.set("Upload-Expires", HttpDate(record.expires));
  if (!record.complete) return;
  response.set(kResultCodeHeader, std::to_string(record.code));
  if (record.code == 0) response.set(kStoredNameHeader, PercentEncoded(record.stored_name));
}

}  // namespace zimrax::zmfile
