#include "server/file_sender.h"

#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

// The most one sendfile() call is asked for, and the most sent in one turn
// before the other connections on the same threads get theirs.
constexpr std::uint64_t kSendfilePiece = 2u << 20;
constexpr std::uint64_t kTurnBytes = 8u << 20;
// The TLS path's copy: a few TLS records per write.
constexpr std::size_t kTlsChunk = 64 * 1024;

error_code LastError() { return error_code(errno, boost::system::system_category()); }

// sendfile() has no MSG_NOSIGNAL: a write to a connection the client has
// reset would raise SIGPIPE, whose default action ends the whole server.
// Ignored, the write fails with EPIPE like any other send.
void IgnoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

}  // namespace

void FileSender::Start(SessionStream& stream, std::string head, OpenedFile file, std::uint64_t offset,
                       std::uint64_t length, Progress progress, Done done) {
  auto sender = std::make_shared<FileSender>(stream, std::move(head), std::move(file), offset, length,
                                             std::move(progress), std::move(done));
  if (stream.tls()) return sender->SendTls();
  IgnoreBrokenPipes();
  // sendfile() must not block the thread: the descriptor is made
  // non-blocking once (Asio remembers it, so later answers cost no call).
  if (!stream.socket().native_non_blocking()) {
    error_code error;
    stream.socket().native_non_blocking(true, error);
    if (error) return sender->Finish(error);
  }
  sender->SendPlain();
}

FileSender::FileSender(SessionStream& stream, std::string head, OpenedFile file, std::uint64_t offset,
                       std::uint64_t length, Progress progress, Done done)
    : stream_(stream),
      head_(std::move(head)),
      file_(std::move(file)),
      offset_(offset),
      remaining_(length),
      progress_(std::move(progress)),
      done_(std::move(done)) {}

void FileSender::SendPlain() {
  const int socket = stream_.socket().native_handle();
  std::uint64_t this_turn = 0;
  while (head_sent_ < head_.size()) {
    // MSG_MORE: the head waits for the file's first bytes, in one packet
    // for a small file.
    const ssize_t n = ::send(socket, head_.data() + head_sent_, head_.size() - head_sent_,
                             MSG_NOSIGNAL | (remaining_ > 0 ? MSG_MORE : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WaitWritable();
    if (n < 0) return Finish(LastError());
    head_sent_ += static_cast<std::size_t>(n);
    progressed_ = true;
  }
  while (remaining_ > 0) {
    if (this_turn >= kTurnBytes) {
      if (std::exchange(progressed_, false)) progress_();
      asio::post(stream_.get_executor(), [self = shared_from_this()] { self->SendPlain(); });
      return;
    }
    auto offset = static_cast<off_t>(offset_);
    const ssize_t n = ::sendfile(socket, file_.fd(), &offset, std::min(remaining_, kSendfilePiece));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WaitWritable();
    if (n < 0) return Finish(LastError());
    if (n == 0) return Finish(asio::error::eof);  // the file is shorter than promised
    offset_ += static_cast<std::uint64_t>(n);
    remaining_ -= static_cast<std::uint64_t>(n);
    this_turn += static_cast<std::uint64_t>(n);
    progressed_ = true;
  }
  Finish({});
}

void FileSender::WaitWritable() {
  if (std::exchange(progressed_, false)) progress_();
  stream_.socket().async_wait(asio::ip::tcp::socket::wait_write,
                              [self = shared_from_this()](const error_code& error) {
                                if (error) return self->Finish(error);
                                self->SendPlain();
                              });
}

void FileSender::SendTls() {
  // The head goes out with the file's first piece.
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kTlsChunk));
  chunk_.resize(head_.size() + want);
  std::copy(head_.begin(), head_.end(), chunk_.begin());
  std::size_t have = head_.size();
  head_.clear();
  while (have < chunk_.size()) {
    const ssize_t n = ::pread(file_.fd(), chunk_.data() + have, chunk_.size() - have, static_cast<off_t>(offset_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Finish(LastError());
    if (n == 0) return Finish(asio::error::eof);
    have += static_cast<std::size_t>(n);
    offset_ += static_cast<std::uint64_t>(n);
    remaining_ -= static_cast<std::uint64_t>(n);
  }
  if (chunk_.empty()) return Finish({});
  asio::async_write(stream_, asio::buffer(chunk_), [self = shared_from_this()](const error_code& error, std::size_t) {
    if (error) return self->Finish(error);
    self->progress_();
    if (self->remaining_ == 0) return self->Finish({});
    self->SendTls();
  });
}

void FileSender::Finish(const error_code& error) {
  Done done = std::move(done_);
  done_ = nullptr;
  if (done) done(error);
}

}  // namespace zimrax::zmfile
