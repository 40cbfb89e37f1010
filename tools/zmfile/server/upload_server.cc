#include "server/upload_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <string>

#include "server/answers.h"
#include "server/body_spool.h"
#include "server/embedded_assets.h"
#include "server/file_listing.h"
#include "server/file_name_rules.h"
#include "server/request_gate.h"

namespace zimrax::zmfile {
namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

constexpr std::size_t kListLimit = 1000;
constexpr std::size_t kDownloadChunk = 64 * 1024;
constexpr time_t kIoTimeoutSeconds = 30;
constexpr int kListenBacklog = 128;
constexpr const char* kUploadPath = "/upload";
constexpr const char* kPageSecurityPolicy =
    "default-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'none'";

bool IsUpload(const Request& request) { return request.method == "POST" && request.path == kUploadPath; }

bool HasBodyMethod(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

bool WantsJson(const Request& request) {
  std::string accept = request.get_header_value("Accept");
  std::transform(accept.begin(), accept.end(), accept.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return accept.find("application/json") != std::string::npos;
}

// httplib feeds every multipart/form-data body through its own form parser,
// whatever reader the handler asks for. The component is the parser here, so
// the content type is taken off the request (after the gate has checked it)
// and the raw reader gets the bytes as they came. The request object is the
// server's own, mutable one that httplib passes on as const.
void SetMultipartTypeAside(const Request& request) {
  auto& headers = const_cast<Request&>(request).headers;
  headers.erase("Content-Type");
}

const char* StatusText(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    default: return status >= 500 ? "Server Error" : "Error";
  }
}

void PlainAnswer(Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

UploadServer::UploadServer(const ServeOptions& options, std::ostream& log)
    : options_(options), uploader_(options.dir, options.conflict, options.fsync), log_(log) {
  // One request per connection. A refused upload is answered before its
  // body is read; closing the connection then is the only way not to read
  // the unread body as the next request.
  http_.set_keep_alive_max_count(1);
  http_.set_payload_max_length(static_cast<std::size_t>(options_.max_body));
  http_.set_read_timeout(kIoTimeoutSeconds);
  http_.set_write_timeout(kIoTimeoutSeconds);
  // httplib's default also sets SO_REUSEPORT, which would let a second
  // server bind the same port and silently take half of its connections.
  http_.set_socket_options([](socket_t socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http_.set_default_headers({{"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}});
  AddRoutes();
}

void UploadServer::AddRoutes() {
  http_.set_pre_routing_handler(
      [this](const Request& request, Response& response) { return BeforeRouting(request, response); });
  http_.set_expect_100_continue_handler(
      [this](const Request& request, Response& response) { return OnExpectContinue(request, response); });
  http_.Post(kUploadPath, [this](const Request& request, Response& response, const httplib::ContentReader& read) {
    Upload(request, response, read);
  });
  http_.Get("/files", [this](const Request&, Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(ListingJson(ListStoredFiles(options_.dir, kListLimit)), "application/json");
  });
  http_.Get(R"(/files/(.+))", [this](const Request& request, Response& response) { Download(request, response); });
  http_.Get("/config", [this](const Request&, Response& response) {
    response.set_content(ConfigJson(options_.max_body, options_.conflict), "application/json");
  });
  http_.Get(R"(/[^/]*)", [this](const Request& request, Response& response) { ServeAsset(request, response); });

  // Every error answer carries a body; handling it here also makes httplib
  // size the body of an answer given in place of "100 Continue".
  http_.set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& response) {
    if (response.body.empty() && !response.content_provider_) {
      response.set_content(std::to_string(response.status) + " " + StatusText(response.status) + "\n",
                           "text/plain; charset=utf-8");
    }
    return HandlerResponse::Handled;
  }));
  http_.set_exception_handler([](const Request&, Response& response, std::exception_ptr fault) {
    std::string what = "unknown exception";
    try {
      std::rethrow_exception(fault);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    PlainAnswer(response, 500, "Internal error: " + what);
  });
  http_.set_logger([this](const Request& request, const Response& response) { Log(request, response); });
}

bool UploadServer::Bind() {
  if (options_.port == 0) {
    port_ = http_.bind_to_any_port(options_.host);
  } else {
    port_ = http_.bind_to_port(options_.host, options_.port) ? options_.port : -1;
  }
  return port_ > 0 && http_.WidenBacklog(kListenBacklog);
}

bool UploadServer::Listen() { return http_.listen_after_bind(); }

void UploadServer::Stop() { http_.stop(); }

bool UploadServer::AnswerBeforeBody(const Request& request, Response& response) {
  if (IsUpload(request)) {
    std::uint64_t length = 0;
    std::optional<Refusal> refusal = CheckUploadRequest(request, options_.max_body, &length);
    if (!refusal) return false;
    UploadReport report;
    report.refusal = std::move(refusal);
    Answer(request, response, report);
    return true;
  }
  if (HasBodyMethod(request.method)) {
    // Only POST /upload takes a body; any other is refused without reading it.
    response.set_header("Allow", "GET, HEAD");
    PlainAnswer(response, 405, "Only POST " + std::string(kUploadPath) + " takes a request body.");
    return true;
  }
  return false;
}

HandlerResponse UploadServer::BeforeRouting(const Request& request, Response& response) {
  BeginRequestTrace();
  if (AnswerBeforeBody(request, response)) return HandlerResponse::Handled;
  if (IsUpload(request)) SetMultipartTypeAside(request);
  return HandlerResponse::Unhandled;
}

int UploadServer::OnExpectContinue(const Request& request, Response& response) {
  // A refusal takes the place of "100 Continue", so the client never sends the body.
  BeginRequestTrace();
  return AnswerBeforeBody(request, response) ? response.status : 100;
}

void UploadServer::Upload(const Request& request, Response& response, const httplib::ContentReader& read) {
  const std::uint64_t length = ParseContentLength(request.get_header_value("Content-Length")).value_or(0);
  BodySpool spool(length);
  const bool read_all = read([&spool](const char* data, std::size_t size) { return spool.Append(data, size); });
  NoteBodyBytes(spool.Received());
  UploadReport report;
  if (!read_all || !spool.Finish()) {
    const std::string why = spool.Error().empty() ? "the connection failed" : spool.Error();
    report.refusal = Refusal{400, "The request body could not be read: " + why + "."};
  } else {
    report = uploader_.Run(spool.Bytes());
  }
  NoteStoredName(NameStoredBy(report));
  Answer(request, response, report);
}

void UploadServer::Answer(const Request& request, Response& response, const UploadReport& report) {
  response.status = HttpStatusOf(report);
  response.set_header("Cache-Control", "no-store");
  if (WantsJson(request)) {
    response.set_content(UploadJson(report), "application/json");
  } else {
    response.set_header("Content-Security-Policy", kPageSecurityPolicy);
    response.set_content(UploadHtml(report, ListStoredFiles(options_.dir, kListLimit)), "text/html; charset=utf-8");
  }
}

void UploadServer::Download(const Request& request, Response& response) {
  const std::string name = request.matches[1];
  if (!IsPlainFileName(name)) {
    PlainAnswer(response, 400, "Not a plain file name.");
    return;
  }
  auto file = std::make_shared<OpenedFile>(OpenStoredFile(options_.dir, name));
  if (!file->ok()) {
    PlainAnswer(response, 404, "No such file.");
    return;
  }
  response.set_header("Content-Disposition", AttachmentDisposition(name));
  response.set_header("Cache-Control", "no-store");
  if (file->size() == 0) {
    response.set_content("", "application/octet-stream");
    return;
  }
  response.set_content_provider(
      static_cast<std::size_t>(file->size()), "application/octet-stream",
      [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        std::array<char, kDownloadChunk> chunk;
        const ssize_t n = ::pread(file->fd(), chunk.data(), std::min(length, chunk.size()), static_cast<off_t>(offset));
        // A file that shrank or cannot be read ends the answer early.
        return n > 0 && sink.write(chunk.data(), static_cast<std::size_t>(n));
      });
}

void UploadServer::ServeAsset(const Request& request, Response& response) {
  const Asset asset = FindAsset(request.path);
  if (asset.content_type.empty()) {
    PlainAnswer(response, 404, "Not found.");
    return;
  }
  if (asset.content_type.starts_with("text/html")) {
    response.set_header("Content-Security-Policy", kPageSecurityPolicy);
  }
  response.set_header("Cache-Control", "no-cache");
  response.set_content(asset.bytes.data(), asset.bytes.size(), std::string(asset.content_type));
}

void UploadServer::Log(const Request& request, const Response& response) {
  LogFields fields;
  fields.method = request.method;
  fields.path = request.path;
  fields.status = response.status;
  fields.bytes_out = response.body.empty() ? response.content_length_ : response.body.size();
  TakeRequestTrace(fields);
  log_.Write(fields);
}

}  // namespace zimrax::zmfile
