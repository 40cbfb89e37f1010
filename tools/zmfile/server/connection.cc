#include "server/connection.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "server/server_core.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// The first read of a TLS connection's request: small, as an idle TLS
// connection holds it (the headers' reader grows the buffer as needed).
constexpr std::size_t kTlsFirstRead = 4 * 1024;

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

Connection::Connection(ServerCore& core, std::uint64_t id, tcp::socket socket, const tcp::endpoint& peer)
    : core_(core),
      options_(core.options()),
      id_(id),
      stream_(std::move(socket), core.tls()),
      timer_(stream_.get_executor()),
      pace_timer_(stream_.get_executor()),
      peer_(peer),
      buffer_(options_.max_header + kReadAhead) {}

Connection::~Connection() {
  DropBodyBuffer();
  EndUploadInFlight();
  ReleaseSlot();
}

void Connection::EndUploadInFlight() {
  if (std::exchange(upload_in_flight_, false)) core_.metrics().uploads_in_flight.fetch_sub(1, std::memory_order_relaxed);
}

void Connection::ReleaseSlot() {
  if (std::exchange(released_, true)) return;
  core_.Release(id_, peer_.address());
}

void Connection::Start() {
  asio::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->stream_.tls()) return self->Handshake();
    self->ReadRequest(true);
  });
}

void Connection::Stop() {
  asio::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->phase_ == Phase::kHandshake || self->phase_ == Phase::kIdle || self->phase_ == Phase::kHeaders) {
      self->Close();
    }
    // An upload waiting for its turn to begin files has it now: the drain
    // time is for finishing.
    self->pace_timer_.cancel();
  });
}

void Connection::ForceClose() {
  asio::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->upload_) self->Note("upload aborted at stop after " + std::to_string(self->received_) + " bytes; " +
                               std::string(self->upload_->WhatAbortKeeps()));
    if (self->phase_ == Phase::kFinishing) self->Note("closed at stop while its upload was being stored");
    self->Close();
  });
}

void Connection::ShedIfIdle(std::function<void(bool)> done) {
  asio::post(stream_.get_executor(), [self = shared_from_this(), done = std::move(done)] {
    const bool idle = self->phase_ == Phase::kIdle && !self->waiting_first_ && self->buffer_.size() == 0;
    if (idle) self->Close();
    done(idle);
  });
}

void Connection::Note(const std::string& text) { core_.log().Note(PeerText(peer_) + ": " + text); }

void Connection::ArmAt(Clock::time_point deadline) {
  const std::uint64_t generation = ++timer_generation_;
  timer_.expires_at(deadline);
  timer_.async_wait([self = shared_from_this(), generation](const beast::error_code& error) {
    if (!error && generation == self->timer_generation_) self->OnTimer();
  });
}

void Connection::OnTimer() {
  switch (phase_) {
    case Phase::kHandshake:
      Note("no TLS handshake within " + std::to_string(HandshakeTimeFor(options_.header_seconds).count()) +
           " s of the connection");
      return Close();
    case Phase::kWaiting:
      return;  // a password check or a listing scan is bounded; the answer follows it
    case Phase::kFinishing:
      return;  // the disk's time: the answer follows the upload's sync
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
             " bytes/s; " + std::string(upload_->WhatAbortKeeps()));
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

// The TLS handshake, within its own time (shorter than the headers') and
// counted against the server's cap on handshakes in progress.
void Connection::Handshake() {
  phase_ = Phase::kHandshake;
  counted_handshake_ = true;
  core_.HandshakeBegun();
  ArmAt(start_ + HandshakeTimeFor(options_.header_seconds));  // start_: the connection's time
  stream_.async_handshake([self = shared_from_this()](const beast::error_code& error) {
    if (self->phase_ != Phase::kHandshake) return;
    self->EndHandshake();
    if (error) {
      // OpenSSL's reason for a plain HTTP request here is just "http request".
      const bool plain = error.message().find("http request") != std::string::npos;
      self->Note("TLS handshake failed: " + error.message() + (plain ? " (plain HTTP sent to the HTTPS port)" : ""));
      if (plain) return self->AnswerPlainHttp();
      return self->Close();
    }
    self->ReadRequest(true);
  });
}

void Connection::EndHandshake() {
  if (counted_handshake_) core_.HandshakeEnded();
  counted_handshake_ = false;
}

void Connection::ReadRequest(bool first) {
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
    idle_since_.store(std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()), std::memory_order_relaxed);
  }
  if (stream_.tls()) return AwaitFirstTlsBytes();
  stream_.socket().async_wait(tcp::socket::wait_read, [self = shared_from_this()](const beast::error_code& error) {
    if (self->phase_ != Phase::kIdle) return;
    if (error) return self->Close();
    self->OnFirstBytes();
  });
}

void Connection::OnFirstBytes() {
  idle_since_.store(0, std::memory_order_relaxed);
  if (!waiting_first_) header_deadline_ = Clock::now() + std::chrono::seconds(options_.header_seconds);
  ReadHeader();
}

// Over TLS a readable socket need not mean a readable request (the TLS
// layer may hold one already, or read only its own records), so the
// first bytes are read into the buffer instead of waited for. A refusal
// sent meanwhile lingers on this same read, as a TLS stream takes one
// read at a time.
void Connection::AwaitFirstTlsBytes() {
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

void Connection::ReadHeader() {
  phase_ = Phase::kHeaders;
  ArmAt(header_deadline_);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](const beast::error_code& error, std::size_t) { self->OnHeader(error); });
}

void Connection::OnHeader(const beast::error_code& error) {
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

void Connection::Refuse(int status, const std::string& text) { Send(FailReply(status, text), After::kLinger); }

// A plain HTTP request on the TLS port: answered in plain HTTP, naming the
// https:// address, then closed; the socket's own bytes, no TLS.
void Connection::AnswerPlainHttp() {
  beast::error_code error;
  const tcp::endpoint local = stream_.socket().local_endpoint(error);
  std::string text = "This port speaks HTTPS only: send the request to https:// rather than http://";
  if (!error) text += ", e.g. https://" + PeerText(local) + "/";
  text += ".\n";
  auto answer = std::make_shared<std::string>(
      "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n"
      "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text);
  phase_ = Phase::kWriting;
  Arm(std::chrono::seconds(options_.send_seconds));
  asio::async_write(stream_.socket(), asio::buffer(*answer),
                    [self = shared_from_this(), answer](const beast::error_code& failed, std::size_t) {
                      if (self->phase_ != Phase::kWriting) return;
                      if (failed) return self->Close();
                      // Drains what the client still sends, so that the
                      // close does not reset the answer away.
                      self->phase_ = Phase::kLinger;
                      beast::error_code ignored;
                      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                      self->chunk_.resize(4096);
                      self->Arm(std::chrono::seconds(2));
                      self->DrainPlain();
                    });
}

void Connection::DrainPlain() {
  stream_.socket().async_read_some(asio::buffer(chunk_),
                                   [self = shared_from_this()](const beast::error_code& error, std::size_t) {
                                     if (self->phase_ != Phase::kLinger) return;
                                     if (error) return self->Close();
                                     self->DrainPlain();
                                   });
}

}  // namespace zimrax::zmfile
