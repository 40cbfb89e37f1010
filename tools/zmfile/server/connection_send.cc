// The answer's way out: its common headers, the log phase, the write a
// piece at a time, then the next request or the lingering close.
#include <type_traits>
#include <variant>

#include "server/connection.h"
#include "server/file_sender.h"
#include "server/request_log.h"
#include "server/router.h"
#include "server/server_core.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// After a refusal, the client's unread bytes are drained this long (or this
// many) before the close, so that it reads the answer instead of a reset.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::uint64_t kLingerBytes = 4 << 20;

}  // namespace

void Connection::Send(Reply&& reply, After after) {
  for (const std::string& note : reply.notes) Note(note);
  answer_refused_for_ = reply.refused_for;
  std::visit(
      [&](auto& response) {
        if constexpr (std::is_same_v<std::decay_t<decltype(response)>, DownloadAnswer>) {
          SendDownload(std::move(response), reply.reason, after);
        } else {
          SendResponse(std::move(response), reply.reason, reply.stored_name, after, reply.sha256);
        }
      },
      reply.response);
}

template <class Body>
void Connection::SendResponse(http::response<Body>&& response, const std::string& reason,
                              const std::string& stored_name, After after, const std::string& sha256) {
  if (after == After::kKeepAlive && core_.stopping()) after = After::kClose;
  response.set("X-Content-Type-Options", "nosniff");
  // Same-origin requests keep their Referer and Origin (under no-referrer
  // Chromium posts the page's form, sent without script, with "Origin:
  // null", which the origin check refuses); other sites learn nothing.
  response.set("Referrer-Policy", "same-origin");
  response.keep_alive(after == After::kKeepAlive);
  response.prepare_payload();
  const std::uint64_t size = response.payload_size().value_or(0);
  LogAnswer(static_cast<int>(response.result_int()), head_ ? 0 : size, reason, stored_name, sha256);
  if (head_) {
    http::response<http::empty_body> header_only{std::move(response.base())};
    header_only.content_length(size);
    return Write(std::move(header_only), after);
  }
  Write(std::move(response), after);
}

void Connection::SendDownload(DownloadAnswer&& answer, const std::string& reason, After after) {
  if (after == After::kKeepAlive && core_.stopping()) after = After::kClose;
  http::response<http::empty_body>& head = answer.head;
  head.set("X-Content-Type-Options", "nosniff");
  head.set("Referrer-Policy", "same-origin");
  head.keep_alive(after == After::kKeepAlive);
  const int status = static_cast<int>(head.result_int());
  // 412 and 416 have an empty body; 304 and HEAD say no length of their own.
  if (status == 412 || status == 416) head.content_length(0);
  LogAnswer(status, answer.length, reason, "");
  if (!answer.file.ok()) return Write(std::move(head), after);
  phase_ = Phase::kWriting;
  Arm(std::chrono::seconds(options_.send_seconds));
  // The send timeout counts from the client's last progress.
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

// One line per answer, written as it is sent.
void Connection::LogAnswer(int status, std::uint64_t bytes_out, const std::string& reason,
                           const std::string& stored_name, const std::string& sha256) {
  LogFields fields;
  fields.method = method_;
  fields.path = path_;
  fields.status = status;
  fields.bytes_in = received_;
  fields.bytes_out = bytes_out;
  fields.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
  fields.stored_name = stored_name;
  fields.user = user_;
  fields.client = client_.empty() ? peer_.address().to_string() : client_;
  fields.reason = reason;
  fields.sha256 = sha256;
  core_.log().Write(fields);
  // The one place every answered request passes: its counts.
  ServerMetrics& metrics = core_.metrics();
  metrics.CountAnswer(status, method_ == "POST" && path_ == kUploadPath);
  metrics.CountRefusal(answer_refused_for_ != RefusalCause::kNone ? answer_refused_for_ : RefusalCauseOfStatus(status));
  answer_refused_for_ = RefusalCause::kNone;
}

template <class Body>
void Connection::Write(http::response<Body>&& response, After after) {
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
void Connection::WriteSome(std::shared_ptr<Outgoing> outgoing, After after) {
  Arm(std::chrono::seconds(options_.send_seconds));
  http::async_write_some(stream_, outgoing->serializer,
                         [self = shared_from_this(), outgoing, after](const beast::error_code& error, std::size_t) {
                           if (self->phase_ != Phase::kWriting) return;
                           if (error) return self->Close();
                           if (!outgoing->serializer.is_done()) return self->WriteSome(outgoing, after);
                           self->AfterSend(after);
                         });
}

void Connection::AfterSend(After after) {
  if (after == After::kKeepAlive) return ReadRequest(false);
  LingerThenClose();
}

// Half-closes, then reads and drops what the client still sends (for a
// bounded time and byte count) before the close: a close with unread
// bytes would reset the connection and could destroy the answer before
// the client reads it.
void Connection::LingerThenClose() {
  phase_ = Phase::kLinger;
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  lingered_ = 0;
  chunk_.resize(kReadAhead);
  Arm(kLingerTime);
  Linger();
}

void Connection::Linger() {
  if (first_read_pending_) return;  // that read goes on as the linger's
  stream_.async_read_some(asio::buffer(chunk_),
                          [self = shared_from_this()](const beast::error_code& error, std::size_t n) {
                            if (self->phase_ != Phase::kLinger) return;
                            self->OnLingerRead(error, n);
                          });
}

void Connection::OnLingerRead(const beast::error_code& error, std::size_t n) {
  lingered_ += n;
  if (error || lingered_ > kLingerBytes) return Close();
  Linger();
}

void Connection::Close() {
  if (phase_ == Phase::kClosed) return;
  phase_ = Phase::kClosed;
  idle_since_.store(0, std::memory_order_relaxed);
  EndUploadInFlight();
  EndHandshake();
  if (upload_) {
    upload_->Abort();
    upload_.reset();
  }
  ++timer_generation_;
  timer_.cancel();
  pace_timer_.cancel();
  // Its place in the connection counts is free before the client sees the
  // close: a client that reconnects at once is not refused as one too many.
  ReleaseSlot();
  beast::error_code ignored;
  stream_.socket().close(ignored);
}

}  // namespace zimrax::zmfile
