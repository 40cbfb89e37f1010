#include "server/upload_server.h"

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <openssl/crypto.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/answers.h"
#include "server/ascii_text.h"
#include "server/authenticator.h"
#include "server/client_address.h"
#include "server/conflict_choices.h"
#include "server/download_answer.h"
#include "server/embedded_assets.h"
#include "server/file_listing.h"
#include "server/file_sender.h"
#include "server/file_name_rules.h"
#include "server/listing_query.h"
#include "server/public_url.h"
#include "server/request_gate.h"
#include "server/request_log.h"
#include "server/request_origin.h"
#include "server/session_stream.h"
#include "server/stored_file_delete.h"
#include "server/upload_report.h"
#include "server/upload_stream.h"

namespace zimrax::zmfile {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// The most body bytes read from the socket and fed at a time. Held only while
// an upload's body is read, so an idle connection costs none of it.
constexpr std::size_t kBodyChunk = 256 * 1024;
// The socket reads of the headers (and of whatever follows them), and of the
// bytes dropped while lingering.
constexpr std::size_t kReadAhead = 64 * 1024;
// The first read of a TLS connection's request: small, as an idle TLS
// connection holds it (the headers' reader grows the buffer as needed).
constexpr std::size_t kTlsFirstRead = 4 * 1024;
// After a refusal, the client's unread bytes are drained this long (or this
// many) before the close, so that it reads the answer instead of a reset.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::uint64_t kLingerBytes = 4 << 20;
// Descriptors beyond the connections: listening socket, logs, the
// directory, downloads. An upload in flight also holds two per file field
// whose data has begun (its temporary file and the folder), up to
// 2 * kMaxFileFields; past the limit a file fails with 67 (EMFILE).
constexpr rlim_t kSpareDescriptors = 64;
constexpr const char* kUploadPath = "/upload";
constexpr const char* kPageSecurityPolicy =
    "default-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'none'";
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr const char* kAuthenticate = "Basic realm=\"zmfile\", charset=\"UTF-8\"";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of a request target: the query left off, %XX escapes decoded
// (a malformed escape stays as it is).
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

bool HasBodyMethod(http::verb method) {
  return method == http::verb::post || method == http::verb::put || method == http::verb::patch ||
         method == http::verb::delete_;
}

std::string PeerText(const tcp::endpoint& peer) {
  const std::string address = peer.address().to_string();
  return (peer.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(peer.port());
}

// True for the errors of a peer that went away, as opposed to a malformed request.
bool IsConnectionError(const beast::error_code& error) {
  return error.category() != http::make_error_code(http::error::bad_target).category() ||
         error == http::error::end_of_stream || error == http::error::partial_message;
}

}  // namespace

class Session;

// The listening socket, the connections' count and registry, the signals
// and the stop. Its state lives on one strand.
class ServerCore {
 public:
  ServerCore(const ServeOptions& options, std::ostream& log, ServerAccess access)
      : options_(options),
        client_conflicts_(ClientConflicts(options.client_conflict)),
        log_(log),
        access_(std::move(access)),
        strand_(asio::make_strand(ioc_)),
        acceptor_(strand_),
        signals_(strand_),
        drain_timer_(strand_),
        retry_timer_(strand_) {}

  bool Bind();
  int port() const { return port_; }
  bool Run();

  const ServeOptions& options() const { return options_; }
  // The policies a form may choose.
  const std::vector<std::string>& client_conflicts() const { return client_conflicts_; }
  // The origins (and Host names) the server answers as. REQUIRES: Bind() returned true.
  const std::vector<WebOrigin>& own_origins() const { return own_origins_; }
  RequestLog& log() { return log_; }
  bool stopping() const { return stopping_.load(); }
  Authenticator* authenticator() const { return access_.authenticator.get(); }
  asio::ssl::context* tls() const { return access_.tls.get(); }
  // Runs `check` on the password-hash threads, so that a slow hash holds
  // up no connection but its own. False when options.max_hash_checks are
  // already waiting or running (nothing is run then).
  // REQUIRES: authenticator() is not null.
  template <class Check>
  bool PostHashCheck(Check check) {
    if (hash_checks_.fetch_add(1) >= options_.max_hash_checks) {
      --hash_checks_;
      return false;
    }
    asio::post(*hash_pool_, [this, check = std::move(check)]() mutable {
      check();
      --hash_checks_;
    });
    return true;
  }
  // Called once for every session as it ends (from any thread).
  void Release(std::uint64_t id, const asio::ip::address& address);

 private:
  void RaiseDescriptorLimit();
  void Accept();
  void OnAccept(const beast::error_code& error, tcp::socket socket);
  void WaitForSignal();
  void BeginStop(int signal);
  void AbortRemaining();
  void FinishStopIfDone();
  template <class Action>
  void ForEachSession(Action action);

  // The policies of --client-conflict; RunServe refused a list that does not parse.
  static std::vector<std::string> ClientConflicts(const std::string& text) {
    std::string ignored;
    return ParseConflictChoices(text, &ignored).value_or(std::vector<std::string>{});
  }

  const ServeOptions options_;
  const std::vector<std::string> client_conflicts_;
  std::vector<WebOrigin> own_origins_;
  RequestLog log_;
  const ServerAccess access_;
  asio::io_context ioc_;
  // Password hashes (bcrypt costs tens of ms) run here, not on the I/O threads.
  std::unique_ptr<asio::thread_pool> hash_pool_;
  std::atomic<int> hash_checks_{0};
  asio::strand<asio::io_context::executor_type> strand_;
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer drain_timer_;
  asio::steady_timer retry_timer_;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};
  // On strand_ only:
  int active_ = 0;
  bool accepting_ = false;
  bool paused_ = false;
  bool stopped_by_signal_ = false;
  std::uint64_t next_id_ = 0;
  std::map<asio::ip::address, int> per_address_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Session>> sessions_;
};

// One connection: its requests one after another, each read, answered and
// logged; its timers; its upload in flight. Everything runs on its strand.
class Session : public std::enable_shared_from_this<Session> {
 public:
  enum class Mode { kServe, kBusy };

  Session(ServerCore& core, std::uint64_t id, tcp::socket socket, const tcp::endpoint& peer, Mode mode)
      : core_(core),
        options_(core.options()),
        id_(id),
        mode_(mode),
        stream_(std::move(socket), core.tls()),
        timer_(stream_.get_executor()),
        peer_(peer),
        buffer_(options_.max_header + kReadAhead) {}

  ~Session() { core_.Release(id_, peer_.address()); }

  void Start() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] {
      if (self->mode_ == Mode::kBusy) {
        self->Note("refused: more than " + std::to_string(self->options_.max_per_address) +
                   " connections from this address");
        self->method_ = "-";
        self->path_ = "-";
        // Over TLS the refusal is sent only once the handshake is done.
        if (!self->stream_.tls()) {
          return self->Refuse(503, "Too many connections from your address; try again later.");
        }
      }
      if (self->stream_.tls()) return self->Handshake();
      self->ReadRequest(true);
    });
  }

  // The server stops: a connection between requests ends now; one in the
  // middle of a request ends after its answer.
  void Stop() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] {
      if (self->phase_ == Phase::kHandshake || self->phase_ == Phase::kIdle || self->phase_ == Phase::kHeaders) {
        self->Close();
      }
    });
  }

  // The drain time is over: whatever is in flight is aborted.
  void ForceClose() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] {
      if (self->upload_) self->Note("upload aborted at stop after " + std::to_string(self->received_) + " bytes");
      self->Close();
    });
  }

 private:
  enum class Phase { kHandshake, kIdle, kHeaders, kAuthorizing, kContinue, kBody, kWriting, kLinger, kClosed };
  enum class After { kKeepAlive, kClose, kLinger };

  void Note(const std::string& text) { core_.log().Note(PeerText(peer_) + ": " + text); }

  void Arm(Clock::duration duration) { ArmAt(Clock::now() + duration); }

  void ArmAt(Clock::time_point deadline) {
    const std::uint64_t generation = ++timer_generation_;
    timer_.expires_at(deadline);
    timer_.async_wait([self = shared_from_this(), generation](const beast::error_code& error) {
      if (!error && generation == self->timer_generation_) self->OnTimer();
    });
  }

  void OnTimer() {
    switch (phase_) {
      case Phase::kHandshake:
        Note("no TLS handshake within " + std::to_string(options_.header_seconds) + " s of the connection");
        return Close();
      case Phase::kAuthorizing:
        return;  // a password check is bounded; the answer follows it
      case Phase::kIdle:
        if (waiting_first_) {
          Note("no request within " + std::to_string(options_.header_seconds) + " s of the connection");
          return Refuse(408, "No request arrived in time.");
        }
        return Close();
      case Phase::kHeaders: {
        header_timed_out_ = true;
        beast::error_code ignored;
        stream_.socket().cancel(ignored);
        // A read that completed just now is not cancelled, and the header
        // reader then starts another one that nothing would watch: cancel
        // again shortly until the reader has answered.
        return Arm(std::chrono::milliseconds(200));
      }
      case Phase::kBody: {
        const std::uint64_t floor = options_.min_body_rate * static_cast<std::uint64_t>(options_.body_rate_seconds);
        if (window_bytes_ < floor) {
          Note("closed: " + std::to_string(window_bytes_) + " body bytes in " +
               std::to_string(options_.body_rate_seconds) + " s, below " + std::to_string(options_.min_body_rate) +
               " bytes/s; nothing stored");
          return Close();
        }
        window_bytes_ = 0;
        return Arm(std::chrono::seconds(options_.body_rate_seconds));
      }
      case Phase::kContinue:
      case Phase::kWriting:
        Note("closed: the client took no answer bytes for " + std::to_string(options_.send_seconds) + " s");
        return Close();
      case Phase::kLinger:
      case Phase::kClosed:
        return Close();
    }
  }

  // The TLS handshake, under the deadline of the first request's headers.
  void Handshake() {
    phase_ = Phase::kHandshake;
    header_deadline_ = start_ + std::chrono::seconds(options_.header_seconds);  // start_: the connection's time
    ArmAt(header_deadline_);
    stream_.async_handshake([self = shared_from_this()](const beast::error_code& error) {
      if (self->phase_ != Phase::kHandshake) return;
      if (error) {
        // OpenSSL's reason for a plain HTTP request here is just "http request".
        const bool plain = error.message().find("http request") != std::string::npos;
        self->Note("TLS handshake failed: " + error.message() + (plain ? " (plain HTTP sent to the HTTPS port)" : ""));
        return self->Close();
      }
      if (self->mode_ == Mode::kBusy) {
        return self->Refuse(503, "Too many connections from your address; try again later.");
      }
      self->ReadRequest(true);
    });
  }

  void ReadRequest(bool first) {
    if (core_.stopping()) return Close();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(options_.max_header, UINT32_MAX)));
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    header_timed_out_ = false;
    received_ = 0;
    authorized_ = false;
    user_.clear();
    // The first request's headers must be complete header_seconds after the
    // connection; a later one's, header_seconds after its first byte.
    if (first) {
      // start_ is still the connection's time: no request has begun.
      header_deadline_ = start_ + std::chrono::seconds(options_.header_seconds);
    } else if (buffer_.size() > 0) {
      header_deadline_ = Clock::now() + std::chrono::seconds(options_.header_seconds);
    }
    if (buffer_.size() > 0) return ReadHeader();
    // Nothing has arrived: wait for the first byte without a read buffer, so
    // that a connection that sends nothing holds no more than its socket.
    buffer_.shrink_to_fit();
    phase_ = Phase::kIdle;
    waiting_first_ = first;
    if (first) {
      ArmAt(header_deadline_);
    } else {
      Arm(std::chrono::seconds(options_.idle_seconds));
    }
    if (stream_.tls()) return AwaitFirstTlsBytes();
    stream_.socket().async_wait(tcp::socket::wait_read, [self = shared_from_this()](const beast::error_code& error) {
      if (self->phase_ != Phase::kIdle) return;
      if (error) return self->Close();
      self->OnFirstBytes();
    });
  }

  void OnFirstBytes() {
    if (!waiting_first_) header_deadline_ = Clock::now() + std::chrono::seconds(options_.header_seconds);
    ReadHeader();
  }

  // Over TLS a readable socket need not mean a readable request (the TLS
  // layer may hold one already, or read only its own records), so the
  // first bytes are read into the buffer instead of waited for. A refusal
  // sent meanwhile lingers on this same read, as a TLS stream takes one
  // read at a time.
  void AwaitFirstTlsBytes() {
    first_read_pending_ = true;
    stream_.async_read_some(buffer_.prepare(kTlsFirstRead),
                            [self = shared_from_this()](const beast::error_code& error, std::size_t n) {
                              self->first_read_pending_ = false;
                              if (self->phase_ == Phase::kLinger) return self->OnLingerRead(error, n);
                              if (self->phase_ != Phase::kIdle) return;
                              self->buffer_.commit(n);
                              if (error) return self->Close();
                              self->OnFirstBytes();
                            });
  }

  void ReadHeader() {
    phase_ = Phase::kHeaders;
    ArmAt(header_deadline_);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](const beast::error_code& error, std::size_t) {
                              self->OnHeader(error);
                            });
  }

  void OnHeader(const beast::error_code& error) {
    if (phase_ != Phase::kHeaders) return;
    start_ = Clock::now();
    method_ = "-";
    path_ = "-";
    client_.clear();  // the peer, until this request's headers name a forwarded client
    if (header_timed_out_) {
      Note("request headers not complete within " + std::to_string(options_.header_seconds) + " s");
      return Refuse(408, "The request headers did not arrive in time.");
    }
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
      Note("request headers longer than " + std::to_string(options_.max_header) + " bytes");
      return Refuse(431, "The request headers are larger than " + std::to_string(options_.max_header) + " bytes.");
    }
    if (error) {
      if (!IsConnectionError(error)) {
        Note("malformed request: " + error.message());
        return Refuse(400, "The request is not valid HTTP/1.1 (" + error.message() + ").");
      }
      if (parser_->got_some()) Note("connection ended inside the request headers: " + error.message());
      return Close();
    }
    Dispatch();
  }

  void Dispatch() {
    auto& request = parser_->get();
    method_ = std::string(request.method_string());
    path_ = RequestPath(std::string_view(request.target().data(), request.target().size()));
    json_ = Lowered(std::string(request[http::field::accept])).find("application/json") != std::string::npos;
    head_ = request.method() == http::verb::head;
    const bool has_body = parser_->chunked() || parser_->content_length().value_or(0) > 0;
    // A body is read only for an upload: any other request's connection
    // ends after its answer, so that its body is never taken for a request.
    keep_alive_ = request.keep_alive() && !has_body;
    const After after = keep_alive_ ? After::kKeepAlive : has_body ? After::kLinger : After::kClose;
    client_ = ClientAddress(request, peer_.address().to_string(), options_.trust_proxy);

    const bool upload = request.method() == http::verb::post && path_ == kUploadPath;
    if (std::optional<Refusal> refusal =
            CheckRequestSite(request, request.method(), request.version(), core_.own_origins())) {
      // Never the HTML answer, which lists the stored files: a page under a
      // rebound name could read it.
      if (!upload || !json_) return Fail(refusal->status, refusal->message, after);
      reason_ = refusal->message;
      UploadReport report;
      report.refusal = std::move(refusal);
      return Send(Text(HttpStatusOf(report), UploadJson(report), "application/json"), after);
    }
    // Every route needs credentials when the server has users; an upload's
    // body is not read before they are checked. A foreign Host or Origin is
    // refused above without costing a password check.
    if (core_.authenticator() != nullptr && !authorized_) return Authorize(after);
    if (upload) {
      keep_alive_ = request.keep_alive();  // kept when the whole body is read
      return StartUpload();
    }
    const bool stored_file = path_.starts_with("/files/") && path_.size() > 7;
    if (request.method() == http::verb::delete_ && stored_file && options_.allow_delete) {
      return Delete(path_.substr(7), has_body ? After::kLinger : after);
    }
    if (HasBodyMethod(request.method()) || (request.method() != http::verb::get && !head_)) {
      reason_ = request.method() == http::verb::delete_ && stored_file
                    ? "This server does not delete files (it runs without --allow-delete)."
                    : "Only POST " + std::string(kUploadPath) + " takes a request body.";
      auto response = Plain(405, reason_);
      response.set(http::field::allow, stored_file && options_.allow_delete ? "GET, HEAD, DELETE" : "GET, HEAD");
      return Send(std::move(response), has_body ? After::kLinger : after);
    }
    if (path_ == "/files") {
      const ListingQuery query = ParseListingQuery(std::string_view(request.target().data(), request.target().size()));
      if (!query.error.empty()) {
        Note("listing refused: " + query.error);
        return Fail(400, query.error, after);
      }
      auto response =
          Text(200, ListingJson(ListStoredFiles(options_.dir, query.limit, query.after)), "application/json");
      response.set(http::field::cache_control, "no-store");
      return Send(std::move(response), after);
    }
    if (stored_file) return Download(path_.substr(7), after);
    if (path_ == "/config") {
      return Send(
          Text(200, ConfigJson(options_.max_body, options_.conflict, core_.client_conflicts(), options_.allow_delete), "application/json"),
          after);
    }
    if (path_.starts_with("/") && path_.find('/', 1) == std::string::npos) {
      const Asset asset = FindAsset(path_);
      if (!asset.content_type.empty()) {
        auto response = Text(200, std::string(asset.bytes), std::string(asset.content_type));
        if (asset.content_type.starts_with("text/html")) {
          response.set("Content-Security-Policy", kPageSecurityPolicy);
        }
        response.set(http::field::cache_control, "no-cache");
        return Send(std::move(response), after);
      }
    }
    Fail(404, "Not found.", after);
  }

  // Checks the request's credentials (on the hash threads when the cache
  // does not know them), then dispatches it again or answers 401.
  void Authorize(After after) {
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
    if (!posted) {
      Note("refused: " + std::to_string(options_.max_hash_checks) + " password checks already waiting");
      reason_ = "too many password checks waiting";
      auto response = Plain(503, "Too many sign-ins at once; try again shortly.");
      response.set(http::field::retry_after, "1");
      return Send(std::move(response), After::kLinger);
    }
  }

  void OnAuthorized(const AuthOutcome& outcome, After after) {
    if (!outcome.allowed) {
      Note("401: " + outcome.reason);
      reason_ = outcome.reason;
      auto response = Plain(401, "This server needs a user name and password.");
      response.set(http::field::www_authenticate, kAuthenticate);
      return Send(std::move(response), after);
    }
    authorized_ = true;
    user_ = outcome.user;
    Dispatch();
  }

  void Download(const std::string& name, After after) {
    if (!IsPlainFileName(name)) return Fail(400, "Not a plain file name.", after);
    DownloadAnswer answer = AnswerDownload(options_.dir, name, parser_->get(), head_);
    const int status = answer.head.result_int();
    if (status == 404) return Fail(404, "No such file.", after);
    if (status == 500) return Fail(500, "The file cannot be read.", after);
    if (after == After::kKeepAlive && core_.stopping()) after = After::kClose;
    http::response<http::empty_body>& head = answer.head;
    head.set("X-Content-Type-Options", "nosniff");
    head.set("Referrer-Policy", "same-origin");
    head.keep_alive(after == After::kKeepAlive);
    if (status == 412 || status == 416) head.content_length(0);
    LogAnswer(status, answer.length);
    if (!answer.file.ok()) return Write(std::move(head), after);
    phase_ = Phase::kWriting;
    Arm(std::chrono::seconds(options_.send_seconds));
    FileSender::Start(
        stream_, SerializedHead(head), std::move(answer.file), answer.first, answer.length,
        [self = shared_from_this()] {
          if (self->phase_ == Phase::kWriting) self->Arm(std::chrono::seconds(self->options_.send_seconds));
        },
        [self = shared_from_this(), after](const beast::error_code& error) {
          if (self->phase_ != Phase::kWriting) return;
          if (error) return self->Close();
          self->AfterSend(after);
        });
  }

  void Delete(const std::string& name, After after) {
    if (!IsPlainFileName(name)) return Fail(400, "Not a plain file name.", after);
    const DeleteResult result = DeleteStoredFile(options_.dir, name, options_.fsync);
    if (result.outcome == DeleteOutcome::kAbsent) return Fail(404, "No such file.", after);
    if (result.outcome == DeleteOutcome::kFailed) {
      Note("delete failed: " + std::string(std::strerror(result.error_number)));
      return Fail(500, "The file could not be deleted: " + std::string(std::strerror(result.error_number)), after);
    }
    Send(http::response<http::empty_body>{http::status::no_content, 11}, after);
  }

  void StartUpload() {
    std::uint64_t length = 0;
    if (std::optional<Refusal> refusal = CheckUploadRequest(parser_->get(), options_.max_body, &length)) {
      Note("upload refused with " + std::to_string(refusal->status) + ": " + refusal->message);
      UploadReport report;
      report.refusal = std::move(refusal);
      return AnswerUpload(report, After::kLinger);
    }
    UploadLimits limits;
    limits.max_first_line = options_.max_first_line;
    limits.max_comment = options_.max_comment;
    limits.durable = options_.fsync;
    limits.client_conflicts = core_.client_conflicts();
    upload_ = std::make_unique<UploadStream>(options_.dir, options_.conflict, limits);
    expected_ = length;
    if (Lowered(std::string(parser_->get()[http::field::expect])) == "100-continue" && length > 0) {
      phase_ = Phase::kContinue;
      Arm(std::chrono::seconds(options_.send_seconds));
      asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                        [self = shared_from_this()](const beast::error_code& error, std::size_t) {
                          if (self->phase_ != Phase::kContinue) return;
                          if (error) return self->Close();
                          self->BeginBody();
                        });
      return;
    }
    BeginBody();
  }

  void BeginBody() {
    phase_ = Phase::kBody;
    window_bytes_ = 0;
    remaining_ = expected_;
    Arm(std::chrono::seconds(options_.body_rate_seconds));
    // The body bytes that came in with the headers.
    const std::size_t early = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), remaining_));
    if (early > 0) {
      FeedUpload(static_cast<const std::uint8_t*>(buffer_.data().data()), early);
      buffer_.consume(early);
    }
    if (remaining_ == 0) return FinishUpload();
    chunk_.resize(kBodyChunk);
    ReadBody();
  }

  // The body is read straight from the socket into the chunk, never past
  // the declared length, so that what follows stays for the next request
  // (whose headers a fresh parser reads).
  void ReadBody() {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_.size(), remaining_));
    stream_.async_read_some(asio::buffer(chunk_.data(), want),
                            [self = shared_from_this()](const beast::error_code& error, std::size_t n) {
                              self->OnBody(error, n);
                            });
  }

  void FeedUpload(const std::uint8_t* data, std::size_t size) {
    upload_->Feed(std::span<const std::uint8_t>(data, size));
    received_ += size;
    window_bytes_ += size;
    remaining_ -= size;
  }

  void OnBody(const beast::error_code& error, std::size_t n) {
    if (phase_ != Phase::kBody) return;
    if (n > 0) FeedUpload(chunk_.data(), n);
    if (error) {
      Note("upload ended after " + std::to_string(received_) + " of " + std::to_string(expected_) +
           " body bytes (" + error.message() + "); nothing stored");
      return Close();
    }
    if (remaining_ == 0) return FinishUpload();
    ReadBody();
  }

  void FinishUpload() {
    UploadReport report;
    try {
      report = upload_->Finish();
    } catch (const std::exception& fault) {
      report = UploadReport{};
      report.refusal = Refusal{500, std::string("Internal error: ") + fault.what()};
    }
    upload_.reset();
    std::vector<std::uint8_t>().swap(chunk_);
    if (report.files.empty() && report.refusal) {
      Note("upload refused with " + std::to_string(report.refusal->status) + ": " + report.refusal->message);
    }
    for (const FileReport& file : report.files) {
      if (file.refusal) {
        Note(file.field + " refused with " + std::to_string(file.refusal->status) + ": " + file.refusal->message);
      }
    }
    AnswerUpload(report, keep_alive_ ? After::kKeepAlive : After::kClose);
  }

  void AnswerUpload(const UploadReport& report, After after) {
    stored_name_ = NameStoredBy(report);
    reason_ = RefusalReason(report);
    http::response<http::string_body> response;
    if (json_) {
      response = Text(HttpStatusOf(report), UploadJson(report), "application/json");
    } else {
      response = Text(HttpStatusOf(report), UploadHtml(report, ListStoredFiles(options_.dir, kDefaultListLimit)),
                      "text/html; charset=utf-8");
      response.set("Content-Security-Policy", kPageSecurityPolicy);
    }
    response.set(http::field::cache_control, "no-store");
    Send(std::move(response), after);
  }

  // Answers `status` with a plain text, then closes lingeringly.
  void Refuse(int status, const std::string& text) { Fail(status, text, After::kLinger); }

  // Answers `status` with a plain text that is also the reason logged.
  void Fail(int status, const std::string& text, After after) {
    reason_ = text;
    Send(Plain(status, text), after);
  }

  static http::response<http::string_body> Text(int status, std::string body, const std::string& type) {
    http::response<http::string_body> response{static_cast<http::status>(status), 11};
    response.set(http::field::content_type, type);
    response.body() = std::move(body);
    return response;
  }

  static http::response<http::string_body> Plain(int status, const std::string& text) {
    return Text(status, text + "\n", "text/plain; charset=utf-8");
  }

  template <class Body>
  void Send(http::response<Body>&& response, After after) {
    if (after == After::kKeepAlive && core_.stopping()) after = After::kClose;
    response.set("X-Content-Type-Options", "nosniff");
    // Same-origin requests keep their Referer and Origin (under no-referrer
    // Chromium posts the page's form, sent without script, with "Origin:
    // null", which the origin check refuses); other sites learn nothing.
    response.set("Referrer-Policy", "same-origin");
    response.keep_alive(after == After::kKeepAlive);
    response.prepare_payload();
    const std::uint64_t size = response.payload_size().value_or(0);
    LogAnswer(static_cast<int>(response.result_int()), head_ ? 0 : size);
    if (head_) {
      http::response<http::empty_body> header_only{std::move(response.base())};
      header_only.content_length(size);
      return Write(std::move(header_only), after);
    }
    Write(std::move(response), after);
  }

  // Writes the request's log line, for an answer of `status` carrying `bytes_out` body bytes.
  void LogAnswer(int status, std::uint64_t bytes_out) {
    LogFields fields;
    fields.method = method_;
    fields.path = path_;
    fields.status = status;
    fields.bytes_in = received_;
    fields.bytes_out = bytes_out;
    fields.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    fields.stored_name = std::move(stored_name_);
    fields.user = user_;
    stored_name_.clear();
    fields.client = client_.empty() ? peer_.address().to_string() : client_;
    fields.reason = std::move(reason_);
    reason_.clear();
    core_.log().Write(fields);
  }

  template <class Body>
  void Write(http::response<Body>&& response, After after) {
    struct Outgoing {
      explicit Outgoing(http::response<Body>&& r) : message(std::move(r)), serializer(message) {}
      http::response<Body> message;
      http::response_serializer<Body> serializer;
    };
    phase_ = Phase::kWriting;
    WriteSome(std::make_shared<Outgoing>(std::move(response)), after);
  }

  // Writes a piece at a time, so that the send timeout counts from the
  // client's last progress, not from the start of a long download.
  template <class Outgoing>
  void WriteSome(std::shared_ptr<Outgoing> outgoing, After after) {
    Arm(std::chrono::seconds(options_.send_seconds));
    http::async_write_some(stream_, outgoing->serializer,
                           [self = shared_from_this(), outgoing, after](const beast::error_code& error, std::size_t) {
                             if (self->phase_ != Phase::kWriting) return;
                             if (error) return self->Close();
                             if (!outgoing->serializer.is_done()) return self->WriteSome(outgoing, after);
                             self->AfterSend(after);
                           });
  }

  void AfterSend(After after) {
    if (after == After::kKeepAlive) return ReadRequest(false);
    LingerThenClose();
  }

  // Half-closes, then reads and drops what the client still sends (for a
  // bounded time and byte count) before the close: a close with unread
  // bytes would reset the connection and could destroy the answer before
  // the client reads it.
  void LingerThenClose() {
    phase_ = Phase::kLinger;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    lingered_ = 0;
    chunk_.resize(kReadAhead);
    Arm(kLingerTime);
    Linger();
  }

  void Linger() {
    if (first_read_pending_) return;  // that read goes on as the linger's
    stream_.async_read_some(asio::buffer(chunk_),
                            [self = shared_from_this()](const beast::error_code& error, std::size_t n) {
                              if (self->phase_ != Phase::kLinger) return;
                              self->OnLingerRead(error, n);
                            });
  }

  void OnLingerRead(const beast::error_code& error, std::size_t n) {
    lingered_ += n;
    if (error || lingered_ > kLingerBytes) return Close();
    Linger();
  }

  void Close() {
    if (phase_ == Phase::kClosed) return;
    phase_ = Phase::kClosed;
    if (upload_) {
      upload_->Abort();
      upload_.reset();
    }
    ++timer_generation_;
    timer_.cancel();
    beast::error_code ignored;
    stream_.socket().close(ignored);
  }

  ServerCore& core_;
  const ServeOptions& options_;
  const std::uint64_t id_;
  const Mode mode_;
  SessionStream stream_;
  asio::steady_timer timer_;
  std::uint64_t timer_generation_ = 0;
  const tcp::endpoint peer_;
  beast::flat_buffer buffer_;
  std::vector<std::uint8_t> chunk_;
  // Reads the request line and headers; the body of an upload is read
  // without it, by length.
  std::optional<http::request_parser<http::empty_body>> parser_;
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
  std::string stored_name_;
  std::string client_;  // "" until the request's headers are read: the peer
  std::string reason_;  // why the answer being sent refuses the request
  Clock::time_point start_ = Clock::now();
  std::unique_ptr<UploadStream> upload_;
  std::uint64_t expected_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t remaining_ = 0;
  std::uint64_t window_bytes_ = 0;
  std::uint64_t lingered_ = 0;
};

bool ServerCore::Bind() {
  beast::error_code error;
  tcp::resolver resolver(ioc_);
  const auto endpoints = resolver.resolve(options_.host, std::to_string(options_.port),
                                          tcp::resolver::passive | tcp::resolver::numeric_service, error);
  if (error || endpoints.empty()) return false;
  const tcp::endpoint endpoint = endpoints.begin()->endpoint();
  acceptor_.open(endpoint.protocol(), error);
  if (!error) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  // Connections past max_connections wait here until one ends.
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) return false;
  const tcp::endpoint bound = acceptor_.local_endpoint(error);
  port_ = bound.port();
  std::vector<PublicUrl> public_urls;
  for (const std::string& text : options_.public_urls) {
    std::string why;
    if (std::optional<PublicUrl> url = ParsePublicUrl(text, &why)) public_urls.push_back(std::move(*url));
  }
  own_origins_ = OwnOrigins(bound.address().to_string(), port_, !options_.tls_cert.empty(), public_urls);
  signals_.add(SIGINT, error);
  signals_.add(SIGTERM, error);
  return !error;
}

void ServerCore::RaiseDescriptorLimit() {
  const rlim_t needed = static_cast<rlim_t>(options_.max_connections) * 2 + kSpareDescriptors;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    log_.Note("warning: the descriptor limit " + std::to_string(limit.rlim_cur) + " is below the " +
              std::to_string(needed) + " that --max-connections " + std::to_string(options_.max_connections) +
              " may need");
    return;
  }
  // Uploads of many files hold two descriptors per file (kSpareDescriptors).
  const rlim_t with_files = needed + static_cast<rlim_t>(options_.max_connections) * 2 * kMaxFileFields;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < with_files) {
    log_.Note("note: the descriptor limit " + std::to_string(limit.rlim_cur) + " holds fewer than --max-connections " +
              std::to_string(options_.max_connections) + " uploads of " + std::to_string(kMaxFileFields) +
              " files each (" + std::to_string(with_files) + "); past it a file fails with 67 (too many files open)");
  }
}

bool ServerCore::Run() {
  RaiseDescriptorLimit();
  WaitForSignal();
  asio::post(strand_, [this] { Accept(); });
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned count =
      options_.threads > 0 ? static_cast<unsigned>(options_.threads) : std::max(2u, cores == 0 ? 2u : cores);
  auto run = [this] {
    for (;;) {
      try {
        ioc_.run();
        return;
      } catch (const std::exception& fault) {
        log_.Note(std::string("internal error: ") + fault.what());
      }
    }
  };
  // Half as many hash threads as I/O threads: a burst of sign-ins leaves
  // the rest of the server a core.
  if (access_.authenticator) hash_pool_ = std::make_unique<asio::thread_pool>(std::max(1u, count / 2));
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < count; ++i) threads.emplace_back(run);
  run();
  for (std::thread& thread : threads) thread.join();
  if (hash_pool_) hash_pool_->join();
  return stopped_by_signal_;
}

void ServerCore::Accept() {
  if (stopping_ || accepting_) return;
  if (active_ >= options_.max_connections) {
    if (!paused_) log_.Note("at " + std::to_string(active_) + " connections: new ones wait until one ends");
    paused_ = true;
    return;
  }
  accepting_ = true;
  acceptor_.async_accept(asio::make_strand(ioc_), [this](const beast::error_code& error, tcp::socket socket) {
    accepting_ = false;
    OnAccept(error, std::move(socket));
  });
}

void ServerCore::OnAccept(const beast::error_code& error, tcp::socket socket) {
  if (stopping_ || error == asio::error::operation_aborted) return;
  if (error) {
    // Out of descriptors, most likely: try again shortly rather than spin.
    log_.Note("accept failed: " + error.message());
    retry_timer_.expires_after(std::chrono::milliseconds(100));
    retry_timer_.async_wait([this](const beast::error_code& e) {
      if (!e) Accept();
    });
    return;
  }
  beast::error_code ignored;
  const tcp::endpoint peer = socket.remote_endpoint(ignored);
  socket.set_option(tcp::no_delay(true), ignored);
  if (!ignored) {
    ++active_;
    const int from_address = ++per_address_[peer.address()];
    const auto mode = from_address > options_.max_per_address ? Session::Mode::kBusy : Session::Mode::kServe;
    const std::uint64_t id = next_id_++;
    auto session = std::make_shared<Session>(*this, id, std::move(socket), peer, mode);
    sessions_.emplace(id, session);
    session->Start();
  }
  Accept();
}

void ServerCore::Release(std::uint64_t id, const asio::ip::address& address) {
  if (finished_) return;
  asio::post(strand_, [this, id, address] {
    sessions_.erase(id);
    --active_;
    if (const auto found = per_address_.find(address); found != per_address_.end() && --found->second <= 0) {
      per_address_.erase(found);
    }
    if (paused_ && !stopping_) {
      paused_ = false;
      Accept();
    }
    FinishStopIfDone();
  });
}

template <class Action>
void ServerCore::ForEachSession(Action action) {
  for (auto& [id, weak] : sessions_) {
    if (std::shared_ptr<Session> session = weak.lock()) action(*session);
  }
}

void ServerCore::WaitForSignal() {
  signals_.async_wait([this](const beast::error_code& error, int signal) {
    if (error) return;
    if (!stopping_) {
      BeginStop(signal);
    } else {
      log_.Note("second stop signal: aborting what is in flight");
      AbortRemaining();
    }
    if (!finished_) WaitForSignal();
  });
}

void ServerCore::BeginStop(int signal) {
  stopping_ = true;
  stopped_by_signal_ = true;
  beast::error_code ignored;
  acceptor_.close(ignored);
  retry_timer_.cancel();
  log_.Note("stopping on signal " + std::to_string(signal) + ": " + std::to_string(sessions_.size()) +
            " connections open; uploads in flight get up to " + std::to_string(options_.drain_seconds) + " s");
  ForEachSession([](Session& session) { session.Stop(); });
  drain_timer_.expires_after(std::chrono::seconds(options_.drain_seconds));
  drain_timer_.async_wait([this](const beast::error_code& error) {
    if (!error) AbortRemaining();
  });
  FinishStopIfDone();
}

void ServerCore::AbortRemaining() {
  if (!sessions_.empty()) log_.Note("drain time over: closing " + std::to_string(sessions_.size()) + " connections");
  ForEachSession([](Session& session) { session.ForceClose(); });
}

void ServerCore::FinishStopIfDone() {
  if (!stopping_ || !sessions_.empty() || finished_) return;
  // Nothing is left to run: the threads return from run().
  finished_ = true;
  beast::error_code ignored;
  signals_.cancel(ignored);
  drain_timer_.cancel();
}

UploadServer::UploadServer(const ServeOptions& options, std::ostream& log, ServerAccess access)
    : core_(std::make_unique<ServerCore>(options, log, std::move(access))) {}

UploadServer::~UploadServer() = default;

bool UploadServer::Bind() { return core_->Bind(); }

int UploadServer::port() const { return core_->port(); }

bool UploadServer::Run() { return core_->Run(); }

}  // namespace zimrax::zmfile
