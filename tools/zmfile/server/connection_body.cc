// An upload's body: read from the socket by length, within the body rate
// limit, and pumped into the upload's exchange.
#include <algorithm>
#include <string_view>

#include "server/connection.h"
#include "server/server_core.h"
#include "server/upload_exchange.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;

// The most body bytes read from the socket and fed at a time. Held only while
// an upload's body is read, so an idle connection costs none of it.
constexpr std::size_t kBodyChunk = 256 * 1024;
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

void Connection::StartUpload() {
  auto exchange = std::make_unique<UploadExchange>(core_.config(), json_);
  if (std::optional<Reply> refusal = exchange->Open(parser_->get())) {
    return Send(std::move(*refusal), After::kLinger);
  }
  StartBody(std::move(exchange));
}

void Connection::StartBody(std::unique_ptr<BodyExchange> exchange) {
  upload_ = std::move(exchange);
  expected_ = upload_->body_length();
  if (upload_->expects_continue()) {
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

void Connection::BeginBody() {
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
void Connection::ReadBody() {
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_.size(), remaining_));
  stream_.async_read_some(
      asio::buffer(chunk_.data(), want),
      [self = shared_from_this()](const beast::error_code& error, std::size_t n) { self->OnBody(error, n); });
}

void Connection::FeedUpload(const std::uint8_t* data, std::size_t size) {
  upload_->Feed(std::span<const std::uint8_t>(data, size));
  received_ += size;
  window_bytes_ += size;
  remaining_ -= size;
}

void Connection::OnBody(const beast::error_code& error, std::size_t n) {
  if (phase_ != Phase::kBody) return;
  if (n > 0) FeedUpload(chunk_.data(), n);
  if (error) {
    Note("upload ended after " + std::to_string(received_) + " of " + std::to_string(expected_) + " body bytes (" +
         error.message() + "); " + upload_->FateWhenCut());
    return Close();
  }
  if (remaining_ == 0) return FinishUpload();
  ReadBody();
}

void Connection::FinishUpload() {
  Reply reply = upload_->Finish();
  upload_.reset();
  std::vector<std::uint8_t>().swap(chunk_);
  Send(std::move(reply), keep_alive_ ? After::kKeepAlive : After::kClose);
}

}  // namespace zimrax::zmfile
