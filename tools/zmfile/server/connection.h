// One connection, plain or TLS: its requests one after another, each read,
// answered and logged; its timers and limits; its lingering close. It does
// the I/O; the router, the access phase and the handlers decide what it
// answers. Everything runs on the connection's strand.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

// g++ 12 in the sanitizer builds takes the boost::optional that Beast's
// parser returns for "no Content-Length" as maybe uninitialized wherever it
// inlines the parser: a false positive of its flow analysis. Off for the
// connection's files, which include this one.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/authenticator.h"
#include "server/body_buffer_budget.h"
#include "server/body_exchange.h"
#include "server/refusal.h"
#include "server/reply.h"
#include "server/serve_options.h"
#include "server/session_stream.h"

namespace zimrax::zmfile {

class ServerCore;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Clock = std::chrono::steady_clock;
  // A connection the server admitted (ServerCore::Admit): one that takes a slot.
  Connection(ServerCore& core, std::uint64_t id, boost::asio::ip::tcp::socket socket,
             const boost::asio::ip::tcp::endpoint& peer);
  ~Connection();

  void Start();
  // The server stops: a connection between requests ends now; one in the
  // middle of a request ends after its answer.
  void Stop();
  // The drain time is over: whatever is in flight is aborted.
  void ForceClose();
  // Since when the connection has waited between two requests with no
  // bytes in flight (steady-clock ticks); 0 when it is not so idle. Read
  // from any thread.
  Clock::rep idle_since() const { return idle_since_.load(std::memory_order_relaxed); }
  // Descriptors or slots ran short: closes the connection if it is still
  // idle between requests, then runs `done(closed)` on its strand.
  void ShedIfIdle(std::function<void(bool)> done);

 private:
  // The socket reads of the headers (and of whatever follows them), and of
  // the bytes dropped while lingering.
  static constexpr std::size_t kReadAhead = 64 * 1024;

  // kWaiting: for a password check or a listing scan, each bounded;
  // kFinishing: an upload's Finish runs on the disk threads.
  enum class Phase {
    kHandshake,
    kIdle,
    kHeaders,
    kWaiting,
    kContinue,
    kBody,
    kFinishing,
    kWriting,
    kLinger,
    kClosed,
  };

  // connection.cc: the connection's life, its timer, the request's headers.
  void Note(const std::string& text);
  void Arm(Clock::duration duration) { ArmAt(Clock::now() + duration); }
  void ArmAt(Clock::time_point deadline);
  void OnTimer();
  void Handshake();
  // Counted in the server's handshakes in progress no more.
  void EndHandshake();
  void ReadRequest(bool first);
  void OnFirstBytes();
  void AwaitFirstTlsBytes();
  void ReadHeader();
  void OnHeader(const boost::beast::error_code& error);
  // Answers `status` with a plain text, then closes lingeringly.
  void Refuse(int status, const std::string& text);
  // Answers plain HTTP sent to the TLS port with a plain-text 400, then closes.
  void AnswerPlainHttp();
  void DrainPlain();

  // connection_dispatch.cc: the access and content phases.
  void Dispatch();
  // The request's target in origin form, or the refusal of an absolute
  // form naming another server, of an unknown Expect.
  std::optional<Reply> CheckTargetAndExpectation();
  void Authorize(After after);
  void OnAuthorized(const AuthOutcome& outcome, After after);
  // The listing, from the server's scans; answered when the page is in.
  void List(std::string_view target, After after);

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
  // Feeds chunk_[fed_, filled_) in turns: a turn that began kFilesPerTurn
  // files (each a file created on this I/O thread) lets every other
  // connection's work run before the next, and waits for the server's
  // pace of file starts (FileStartPacer) when it began more than the
  // upload's first. Bodies of either framing go through it.
  void FeedChunk();
  // One turn of FeedChunk. True when all of chunk_ is fed and the caller
  // may go on at once; otherwise the pace timer calls ContinueBody.
  bool FeedTurn();
  // After a turn: the rest of the chunk, or the next read (or, chunked,
  // the next decoding).
  void ContinueBody();
  void FinishUpload();
  // Frees the body buffer, giving a large one back to the budget.
  void DropBodyBuffer();
  void OnUploadFinished(Reply&& reply);
  // Ends the upload refused as `refusal` says, logs `note`, answers, and closes.
  void RefuseUpload(Refusal refusal, const std::string& note);

  // connection_chunked.cc: a chunked upload body, decoded by the parser.
  void BeginChunkedBody();
  void DecodeChunks();
  void ReadChunks();
  void OnChunks(const boost::beast::error_code& error, std::size_t n);
  // Whether the undecoded bytes waiting in the buffer at a chunk header
  // pass the limit of a chunk-size line or of the trailer section, whole or
  // in part; refuses the upload if so.
  bool RefusedPendingChunkBytes();

  // connection_send.cc: the answer, its log line, and the close.
  void Send(Reply&& reply, After after);
  template <class Body>
  void SendResponse(boost::beast::http::response<Body>&& response, const std::string& reason,
                    const std::string& stored_name, After after, const std::string& sha256 = "");
  // The log phase: the request's one line, for an answer of `status` with
  // `bytes_out` body bytes.
  void LogAnswer(int status, std::uint64_t bytes_out, const std::string& reason, const std::string& stored_name,
                 const std::string& sha256 = "");
  template <class Body>
  void Write(boost::beast::http::response<Body>&& response, After after);
  template <class Outgoing>
  void WriteSome(std::shared_ptr<Outgoing> outgoing, After after);
  void AfterSend(After after);
  // A download's head, then its file's bytes (see FileSender).
  void SendDownload(DownloadAnswer&& answer, const std::string& reason, After after);
  void LingerThenClose();
  void Linger();
  void OnLingerRead(const boost::beast::error_code& error, std::size_t n);
  void Close();
  // Gives back the connection's place in the server's counts, once.
  void ReleaseSlot();
  // The upload begun by StartUpload is answered or abandoned: no longer in
  // the metrics' uploads in flight (once).
  void EndUploadInFlight();

  ServerCore& core_;
  const ServeOptions& options_;
  const std::uint64_t id_;
  SessionStream stream_;
  boost::asio::steady_timer timer_;
  boost::asio::steady_timer pace_timer_;  // an upload waiting for its turn to begin files
  std::uint64_t timer_generation_ = 0;
  const boost::asio::ip::tcp::endpoint peer_;
  boost::beast::flat_buffer buffer_;
  std::vector<std::uint8_t> chunk_;
  // Reads the request line and headers; the body of an upload is read
  // without it, by length, or through it, decoding chunks into
  // on_chunk_body_ (which the parser holds by reference).
  std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser_;
  std::function<std::size_t(std::uint64_t, boost::beast::string_view, boost::beast::error_code&)> on_chunk_body_;
  std::function<void(std::uint64_t, boost::beast::string_view, boost::beast::error_code&)> on_chunk_header_;
  std::uint64_t chunk_left_ = 0;  // the data bytes of the current chunk not decoded yet
  Phase phase_ = Phase::kHeaders;
  bool header_timed_out_ = false;
  bool waiting_first_ = false;
  Clock::time_point header_deadline_;
  bool keep_alive_ = false;
  bool json_ = false;
  bool head_ = false;
  bool authorized_ = false;
  bool first_read_pending_ = false;
  bool counted_handshake_ = false;
  std::string target_;  // the request target in origin form
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
  bool released_ = false;
  bool upload_in_flight_ = false;
  bool large_chunk_ = false;  // chunk_ is lent by core_.body_buffers()
  RefusalCause answer_refused_for_ = RefusalCause::kNone;  // of the answer being sent
  std::atomic<Clock::rep> idle_since_{0};
  std::size_t fed_ = 0;      // of chunk_, fed to the upload
  std::size_t filled_ = 0;   // of chunk_, read from the client
  int files_begun_ = 0;      // by the upload so far (its file gate counts them)
  // The next piece fed: twice the last while no file begins (from one read
  // to the next), small again once one does.
  std::size_t piece_size_ = 0;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_H_
