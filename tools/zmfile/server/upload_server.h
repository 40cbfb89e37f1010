// The HTTP face of the component, on Boost.Beast over Boost.Asio: the upload
// page, POST /upload streamed into the component as it arrives, the list of
// stored files and their download (the routes are in router.h).
//
// The pieces: ServerCore accepts; a Connection per client does the I/O;
// RouteRequest picks a handler; the access phase (access_phase.h) refuses
// foreign sites and missing credentials; the handlers (handlers.h,
// UploadExchange) make the answer; the connection logs and sends it.
//
// With an Authenticator every request needs HTTP Basic credentials (401
// otherwise); with a TLS context every connection is HTTPS, its handshake
// within the header timeout.
//
// A connection costs memory, not a thread: a few threads run every
// connection's reads, writes and timers. Connections are kept alive between
// requests whose bodies were read to the end.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_SERVER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_SERVER_H_

#include <iosfwd>
#include <memory>

#include "server/serve_config.h"

namespace boost::asio::ssl {
class context;
}  // namespace boost::asio::ssl

namespace zimrax::zmfile {

class Authenticator;
class ServerCore;

// What guards the server's door; null members leave it open.
struct ServerAccess {
  std::shared_ptr<Authenticator> authenticator;    // null: no authentication
  std::shared_ptr<boost::asio::ssl::context> tls;  // null: plain HTTP
};

class UploadServer {
 public:
  // REQUIRES: config.options.dir is an existing directory, given as an
  // absolute path.
  UploadServer(ServeConfig config, std::ostream& log, ServerAccess access = {});
  ~UploadServer();
  UploadServer(const UploadServer&) = delete;
  UploadServer& operator=(const UploadServer&) = delete;

  // Binds options.host and options.port (0: a free port) and catches
  // SIGINT and SIGTERM from now on. Returns false when the address cannot
  // be bound.
  bool Bind();
  // The bound port. REQUIRES: Bind() returned true.
  int port() const;
  // Serves until SIGINT or SIGTERM, then stops accepting, gives uploads in
  // flight options.drain_seconds to end and aborts the rest. Returns true
  // once stopped that way, false when serving failed. REQUIRES: Bind()
  // succeeded.
  bool Run();

 private:
  std::unique_ptr<ServerCore> core_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_SERVER_H_
