// A chunked upload body: read into the connection's buffer, decoded by the
// request's parser, and each decoded piece pumped into the upload through
// the same turns and file-start pace as a body sent with Content-Length. The parser bounds a chunk-size line and the trailer section only
// by the buffer, so both are bounded here; --max-body counts decoded bytes
// (the parser refuses a chunk whose size would pass what is left of it).
#include <algorithm>

#include "server/connection.h"
#include "server/server_core.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// The longest chunk-size line, extensions included. Clients send a few hex
// digits; nginx and curl no extensions at all.
constexpr std::size_t kMaxChunkLine = 4096;

enum class Pending { kFine, kLineTooLong, kTrailerTooLarge };

// Judges `pending`, the undecoded bytes at a chunk header (after the CR LF
// that ends the chunk before, if any): a chunk-size line longer than
// `max_line` bytes, or a last chunk whose trailer section passes
// `max_trailer` bytes, whether or not all of it has arrived.
Pending JudgePending(std::string_view pending, std::size_t max_line, std::size_t max_trailer) {
  if (pending.starts_with("\r\n")) pending.remove_prefix(2);
  const std::size_t line_end = pending.find("\r\n");
  if (line_end == std::string_view::npos) return pending.size() > max_line ? Pending::kLineTooLong : Pending::kFine;
  if (line_end > max_line) return Pending::kLineTooLong;
  const std::string_view line = pending.substr(0, line_end);
  const std::size_t digits = line.find_first_not_of('0');
  const bool last_chunk = digits != 0 && (digits == std::string_view::npos || line[digits] == ';' ||
                                          line[digits] == ' ' || line[digits] == '\t');
  if (!last_chunk) return Pending::kFine;
  const std::string_view trailer = pending.substr(line_end + 2);
  std::size_t size = trailer.size();
  if (trailer.starts_with("\r\n")) {
    size = 0;
  } else if (const std::size_t end = trailer.find("\r\n\r\n"); end != std::string_view::npos) {
    size = end + 2;
  }
  return size > max_trailer ? Pending::kTrailerTooLarge : Pending::kFine;
}

std::string ParserReason(const beast::error_code& error) {
  if (error == http::error::bad_chunk) return "a chunk-size line is not a hexadecimal size (or it overflows)";
  if (error == http::error::bad_chunk_extension) return "a chunk-size line has a malformed extension";
  return error.message();
}

}  // namespace

void Connection::BeginChunkedBody() {
  on_chunk_header_ = [this](std::uint64_t size, beast::string_view, beast::error_code&) { chunk_left_ = size; };
  // Decoded bytes wait in chunk_[fed_, filled_) for FeedTurn.
  on_chunk_body_ = [this](std::uint64_t remain, beast::string_view piece, beast::error_code&) {
    if (chunk_.size() < filled_ + piece.size()) chunk_.resize(std::max(kBodyChunk, filled_ + piece.size()));
    std::copy(piece.begin(), piece.end(), reinterpret_cast<char*>(chunk_.data()) + filled_);
    filled_ += piece.size();
    chunk_left_ = remain - piece.size();
    return piece.size();
  };
  chunk_left_ = 0;
  fed_ = 0;
  filled_ = 0;
  parser_->on_chunk_header(on_chunk_header_);
  parser_->on_chunk_body(on_chunk_body_);
  parser_->body_limit(options_.max_body);
  // One step a call, so that each chunk header is judged before it is parsed.
  parser_->eager(false);
  buffer_.max_size(std::max(options_.max_header, kMaxChunkLine) + kBodyChunk);
  DecodeChunks();
}

// Decodes what the buffer holds, feeding each decoded piece before the
// next is decoded; reads more while the body goes on.
void Connection::DecodeChunks() {
  while (buffer_.size() > 0 && !parser_->is_done()) {
    if (chunk_left_ == 0 && RefusedPendingChunkBytes()) return;
    fed_ = 0;
    filled_ = 0;
    beast::error_code error;
    const std::size_t used = parser_->put(buffer_.data(), error);
    buffer_.consume(used);
    if (error == http::error::body_limit) {
      return RefuseUpload(Refusal{413,
                                  "The chunked body passes the limit of " + std::to_string(options_.max_body) +
                                      " bytes (--max-body).",
                                  RefusalKind::kTooLarge},
                          "chunked body refused after " + std::to_string(received_) +
                              " decoded bytes: a chunk passes --max-body " + std::to_string(options_.max_body));
    }
    if (error && error != http::error::need_more) {
      const std::string reason = ParserReason(error);
      return RefuseUpload(Refusal{400, "The chunked body is malformed: " + reason + ".", RefusalKind::kFraming},
                          "malformed chunked body after " + std::to_string(received_) + " decoded bytes: " + reason);
    }
    // A turn that must wait comes back through ContinueBody.
    if (filled_ > 0 && !FeedTurn()) return;
    if (error == http::error::need_more) break;
    if (used == 0) break;
  }
  if (parser_->is_done()) {
    // Bytes after the body stay in the buffer for the next request.
    buffer_.max_size(std::max(buffer_.size(), options_.max_header + kReadAhead));
    return FinishUpload();
  }
  ReadChunks();
}

bool Connection::RefusedPendingChunkBytes() {
  const std::string_view pending(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  const Pending verdict = JudgePending(pending, kMaxChunkLine, options_.max_header);
  if (verdict == Pending::kFine) return false;
  if (verdict == Pending::kTrailerTooLarge) {
    RefuseUpload(Refusal{431, "The chunked body's trailer section is larger than " +
                                  std::to_string(options_.max_header) + " bytes (--max-header).",
                         RefusalKind::kFraming},
                 "chunked body's trailer section longer than " + std::to_string(options_.max_header) + " bytes");
    return true;
  }
  RefuseUpload(Refusal{400, "A chunk-size line of the chunked body (with its extensions) is longer than " +
                                std::to_string(kMaxChunkLine) + " bytes.",
                       RefusalKind::kFraming},
               "chunk-size line longer than " + std::to_string(kMaxChunkLine) + " bytes");
  return true;
}

void Connection::ReadChunks() {
  const std::size_t room = buffer_.max_size() - buffer_.size();
  stream_.async_read_some(buffer_.prepare(std::min(room, kBodyChunk)),
                          [self = shared_from_this()](const beast::error_code& error, std::size_t n) {
                            self->OnChunks(error, n);
                          });
}

void Connection::OnChunks(const beast::error_code& error, std::size_t n) {
  if (phase_ != Phase::kBody) return;
  buffer_.commit(n);
  window_bytes_ += n;
  if (error) {
    Note("chunked upload ended after " + std::to_string(received_) + " decoded body bytes (" + error.message() +
         "); " + std::string(upload_->WhatAbortKeeps()));
    return Close();
  }
  DecodeChunks();
}

}  // namespace zimrax::zmfile
