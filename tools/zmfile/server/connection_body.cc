// An upload's body: read from the socket by length (or, chunked, through
// connection_chunked.cc), within the body rate limit, and pumped into the
// upload's exchange.
#include <algorithm>
#include <string_view>

#include "server/connection.h"
#include "server/server_core.h"
#include "server/upload_exchange.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
// A turn of feeding ends once it began this many files. Creating a file
// costs the I/O thread from tens of microseconds to milliseconds on a busy
// disk, and a flood of uploads of a hundred tiny files each would
// otherwise hold both threads for seconds between two other requests.
constexpr int kFilesPerTurn = 1;
// The piece fed at a time while files begin; larger once they do not.
constexpr std::size_t kSmallPiece = 256;

}  // namespace

void Connection::StartUpload() {
  auto exchange = std::make_unique<UploadExchange>(
      core_.config(), json_,
      [gate = FileGateForOneUpload(core_.budget()), begun = &files_begun_] {
        // Only files that are made cost the thread; the exchange (and this
        // gate) goes before the connection.
        const bool allowed = gate();
        *begun += allowed;
        return allowed;
      },
      [&core = core_](const std::vector<std::string>& stored) { return core.PageListing(stored); });
  if (UploadHooks* hooks = core_.hooks()) exchange->SetHooks(hooks, HookRequest{user_, client_});
  if (std::optional<Reply> refusal = exchange->Open(parser_->get())) {
    return Send(std::move(*refusal), After::kLinger);
  }
  upload_in_flight_ = true;
  core_.metrics().uploads_in_flight.fetch_add(1, std::memory_order_relaxed);
  StartBody(std::move(exchange));
}

void Connection::StartBody(std::unique_ptr<BodyExchange> exchange) {
  upload_ = std::move(exchange);
  files_begun_ = 0;
  piece_size_ = kSmallPiece;
  expected_ = upload_->frame().length;
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
  if (upload_->frame().chunked) return BeginChunkedBody();
  // The body bytes that came in with the headers.
  const std::size_t early = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), remaining_));
  chunk_.resize(std::max(kBodyChunk, early));
  const auto* data = static_cast<const std::uint8_t*>(buffer_.data().data());
  std::copy(data, data + early, chunk_.begin());
  buffer_.consume(early);
  window_bytes_ += early;
  fed_ = 0;
  filled_ = early;
  FeedChunk();
}

// The body is read straight from the socket into the chunk, never past
// the declared length, so that what follows stays for the next request
// (whose headers a fresh parser reads).
void Connection::ReadBody() {
  // The last read filled the buffer: a fast client, read more at a time.
  // Held only while an upload's body is read, so an idle connection costs
  // none of it; pieces fed stay at most kBodyChunk, and so do the writes.
  if (filled_ == chunk_.size() && !large_chunk_ && remaining_ > chunk_.size()) {
    large_chunk_ = core_.body_buffers().TryTake();
    if (large_chunk_) chunk_.resize(kLargeBodyChunk);
  }
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_.size(), remaining_));
  stream_.async_read_some(
      asio::buffer(chunk_.data(), want),
      [self = shared_from_this()](const beast::error_code& error, std::size_t n) { self->OnBody(error, n); });
}

void Connection::FeedUpload(const std::uint8_t* data, std::size_t size) {
  upload_->Feed(std::span<const std::uint8_t>(data, size));
  received_ += size;
  remaining_ -= size;
}

void Connection::FeedChunk() {
  if (FeedTurn()) ContinueBody();
}

bool Connection::FeedTurn() {
  const int begun_before = files_begun_;
  // Small pieces after a file begins, each twice the last while no other
  // does: a run of tiny files goes in small pieces, a large file's data in
  // whole reads (one search and one write of each, nothing gathered).
  while (fed_ < filled_ && files_begun_ - begun_before < kFilesPerTurn) {
    const std::size_t piece = std::min(filled_ - fed_, piece_size_);
    const int begun = files_begun_;
    FeedUpload(chunk_.data() + fed_, piece);
    fed_ += piece;
    piece_size_ = files_begun_ == begun ? std::min(piece_size_ * 2, kBodyChunk) : kSmallPiece;
  }
  // The upload's first file is promised; every later one waits its turn.
  const int paced = files_begun_ - begun_before - (begun_before == 0 && files_begun_ > 0 ? 1 : 0);
  const Clock::time_point now = Clock::now();
  Clock::time_point resume = now;
  // Once the server stops, the drain time is for finishing: no more waits.
  if (!core_.stopping()) {
    for (int i = 0; i < paced; ++i) resume = core_.file_pacer().Take(now);
  }
  if (fed_ == filled_ && resume <= now) return true;
  pace_timer_.expires_at(resume);
  // Cancelled by a stop: the upload then goes on at once.
  pace_timer_.async_wait([self = shared_from_this()](const beast::error_code&) {
    if (self->phase_ == Phase::kBody) self->ContinueBody();
  });
  return false;
}

void Connection::ContinueBody() {
  if (fed_ < filled_) return FeedChunk();
  if (upload_->frame().chunked) return DecodeChunks();
  if (remaining_ == 0) return FinishUpload();
  ReadBody();
}

void Connection::OnBody(const beast::error_code& error, std::size_t n) {
  if (phase_ != Phase::kBody) return;
  fed_ = 0;
  filled_ = n;
  window_bytes_ += n;
  if (error) {
    if (n > 0) FeedUpload(chunk_.data(), n);
    Note("upload ended after " + std::to_string(received_) + " of " + std::to_string(expected_) + " body bytes (" +
         error.message() + "); " + std::string(upload_->WhatAbortKeeps()));
    return Close();
  }
  FeedChunk();
}

void Connection::RefuseUpload(Refusal refusal, const std::string& note) {
  Note(note);
  Reply reply = upload_->Refuse(std::move(refusal));
  upload_.reset();
  EndUploadInFlight();
  DropBodyBuffer();
  Send(std::move(reply), After::kLinger);
}

void Connection::DropBodyBuffer() {
  std::vector<std::uint8_t>().swap(chunk_);
  if (std::exchange(large_chunk_, false)) core_.body_buffers().GiveBack();
}

void Connection::FinishUpload() {
  DropBodyBuffer();
  if (!core_.finishes_off_thread()) {
    Reply reply = upload_->Finish();
    upload_.reset();
    return OnUploadFinished(std::move(reply));
  }
  // The exchange goes to a disk thread whole: nothing here touches it until
  // its answer comes back, and a close meanwhile leaves it to finish.
  phase_ = Phase::kFinishing;
  ++timer_generation_;
  timer_.cancel();
  core_.PostDiskWork([self = shared_from_this(), exchange = std::move(upload_), strand = stream_.get_executor(),
                      work = asio::make_work_guard(stream_.get_executor())]() mutable {
    // Off the I/O threads only when stored durably: the time of its syncs.
    const Clock::time_point begun = Clock::now();
    Reply reply = exchange->Finish();
    self->core_.metrics().CountFsync(Clock::now() - begun);
    exchange.reset();
    asio::post(strand, [self, reply = std::move(reply)]() mutable {
      if (self->phase_ != Phase::kFinishing) return;  // closed at stop meanwhile
      self->OnUploadFinished(std::move(reply));
    });
  });
}

void Connection::OnUploadFinished(Reply&& reply) {
  if (!reply.stored_name.empty()) core_.listing().Invalidate();
  EndUploadInFlight();
  core_.metrics().stored_bytes.fetch_add(reply.stored_bytes, std::memory_order_relaxed);
  core_.metrics().stored_files.fetch_add(static_cast<std::uint64_t>(reply.stored_files), std::memory_order_relaxed);
  Send(std::move(reply), keep_alive_ ? After::kKeepAlive : After::kClose);
}

}  // namespace zimrax::zmfile
