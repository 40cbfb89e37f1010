// One connection, plain or TLS: its requests one after another, each read,
// answered and logged; its timers and limits; its lingering close. It does
// the I/O; the router, the access phase and the handlers decide what it
// answers. Everything runs on the connection's strand.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/authenticator.h"
#include "server/body_exchange.h"
#include "server/reply.h"
#include "server/serve_options.h"
#include "server/session_stream.h"

namespace zimrax::zmfile {

class ServerCore;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Mode { kServe, kBusy };  // kBusy: refused with 503, too many from its address

  Connection(ServerCore& core, std::uint64_t id, boost::asio::ip::tcp::socket socket,
             const boost::asio::ip::tcp::endpoint& peer, Mode mode);
  ~Connection();

  void Start();
  // The server stops: a connection between requests ends now; one in the
  // middle of a request ends after its answer.
  void Stop();
  // The drain time is over: whatever is in flight is aborted.
  void ForceClose();

 private:
  // The socket reads of the headers (and of whatever follows them), and of
  // the bytes dropped while lingering.
  static constexpr std::size_t kReadAhead = 64 * 1024;

  enum class Phase { kHandshake, kIdle, kHeaders, kAuthorizing, kContinue, kBody, kWriting, kLinger, kClosed };

  // connection.cc: the connection's life, its timer, the request's headers.
  void Note(const std::string& text);
  void Arm(Clock::duration duration) { ArmAt(Clock::now() + duration); }
  void ArmAt(Clock::time_point deadline);
  void OnTimer();
  void OnBodyRateTimer();
  void Handshake();
  void ReadRequest(bool first);
  void OnFirstBytes();
  void AwaitFirstTlsBytes();
  void ReadHeader();
  void OnHeader(const boost::beast::error_code& error);
  // Answers `status` with a plain text, then closes lingeringly.
  void Refuse(int status, const std::string& text);

  // connection_dispatch.cc: the access and content phases.
  void Dispatch();
  void Authorize(After after);
  void OnAuthorized(const AuthOutcome& outcome, After after);

  // connection_body.cc: an upload's body, pumped into its exchange.
  void StartUpload();
  // Reads the body of a request into `exchange`, then answers what it makes.
  void StartBody(std::unique_ptr<BodyExchange> exchange);
  // connection_resumable.cc: a request under /resumable/.
  void ServeResumable(After after, bool has_body);
  void BeginBody();
  void ReadBody();
  void FeedUpload(const std::uint8_t* data, std::size_t size);
  void OnBody(const boost::beast::error_code& error, std::size_t n);
  void FinishUpload();

  // connection_send.cc: the answer, its log line, and the close.
  void Send(Reply&& reply, After after);
  template <class Body>
  void SendResponse(boost::beast::http::response<Body>&& response, const std::string& reason,
                    const std::string& stored_name, After after);
  template <class Body>
  void Write(boost::beast::http::response<Body>&& response, After after);
  template <class Outgoing>
  void WriteSome(std::shared_ptr<Outgoing> outgoing, After after);
  void AfterSend(After after);
  void LingerThenClose();
  void Linger();
  void OnLingerRead(const boost::beast::error_code& error, std::size_t n);
  void Close();

  ServerCore& core_;
  const ServeOptions& options_;
  const std::uint64_t id_;
  const Mode mode_;
  SessionStream stream_;
  boost::asio::steady_timer timer_;
  std::uint64_t timer_generation_ = 0;
  const boost::asio::ip::tcp::endpoint peer_;
  boost::beast::flat_buffer buffer_;
  std::vector<std::uint8_t> chunk_;
  // Reads the request line and headers; the body of an upload is read
  // without it, by length.
  std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser_;
  Phase phase_ = Phase::kHeaders;
  bool header_timed_out_ = false;
  bool waiting_first_ = false;
  Clock::time_point header_deadline_;
  bool keep_alive_ = false;
  bool json_ = false;
  bool head_ = false;
  bool authorized_ = false;
  bool first_read_pending_ = false;
  std::string user_;  // the authenticated user of the current request
  std::string method_;
  std::string path_;
  std::string client_;  // "" until the request's headers are read: the peer
  Clock::time_point start_ = Clock::now();
  std::unique_ptr<BodyExchange> upload_;
  std::uint64_t expected_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t remaining_ = 0;
  std::uint64_t window_bytes_ = 0;
  std::uint64_t lingered_ = 0;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_H_
