// The HTTP face of the component: the upload page, POST /upload, the list of
// stored files and their download, on cpp-httplib.
//
//   GET  /              the upload page (also /app.css, /app.js)
//   GET  /config        {"maxBody", "conflict"}: the server's limits for the page
//   POST /upload        multipart/form-data: file field upload1, optional
//                       fields conflict and comment; JSON (Accept:
//                       application/json) or a small HTML page back
//   GET  /files         the stored files as JSON
//   GET  /files/NAME    one stored file, as an attachment
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_SERVER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_SERVER_H_

#include <httplib.h>
#include <sys/socket.h>

#include <iosfwd>

#include "server/request_log.h"
#include "server/serve_options.h"
#include "server/upload_report.h"
#include "server/uploader.h"

namespace zimrax::zmfile {

// httplib's server with a listen backlog that fits bursts of uploads.
class BacklogServer : public httplib::Server {
 public:
  // Re-arms the bound socket with room for `backlog` pending connections.
  // httplib listens with a backlog of 5: a burst of browsers' connections
  // past that is reset by the kernel before the server sees it.
  bool WidenBacklog(int backlog) { return ::listen(svr_sock_, backlog) == 0; }
};

class UploadServer {
 public:
  // REQUIRES: options.dir is an existing directory, given as an absolute path.
  UploadServer(const ServeOptions& options, std::ostream& log);
  UploadServer(const UploadServer&) = delete;
  UploadServer& operator=(const UploadServer&) = delete;

  // Binds options.host and options.port (0: a free port). Returns false
  // when the address cannot be bound.
  bool Bind();
  // The bound port. REQUIRES: Bind() returned true.
  int port() const { return port_; }
  // Serves until Stop(). Returns false when serving failed.
  bool Listen();
  // Makes Listen() return; callable from any thread.
  void Stop();

 private:
  void AddRoutes();
  // Answers a request whose body must not be read (a refused upload, a body
  // sent anywhere else). Returns false when the request may go on.
  bool AnswerBeforeBody(const httplib::Request& request, httplib::Response& response);
  httplib::Server::HandlerResponse BeforeRouting(const httplib::Request& request, httplib::Response& response);
  int OnExpectContinue(const httplib::Request& request, httplib::Response& response);
  void Upload(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& read);
  void Download(const httplib::Request& request, httplib::Response& response);
  void ServeAsset(const httplib::Request& request, httplib::Response& response);
  void Answer(const httplib::Request& request, httplib::Response& response, const UploadReport& report);
  void Log(const httplib::Request& request, const httplib::Response& response);

  const ServeOptions options_;
  int port_ = -1;
  Uploader uploader_;
  RequestLog log_;
  BacklogServer http_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_SERVER_H_
