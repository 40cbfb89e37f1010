// The byte stream of one connection: the TCP socket itself, or TLS over it.
// It is an Asio AsyncReadStream and AsyncWriteStream either way, so that
// the session's reads and writes (and Beast's) need not know which; the
// socket stays reachable for what only a socket does (waiting, cancelling,
// half-closing, closing).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SESSION_STREAM_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SESSION_STREAM_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <cstddef>
#include <memory>

namespace zimrax::zmfile {

class SessionStream {
 public:
  using executor_type = boost::asio::ip::tcp::socket::executor_type;

  // REQUIRES: `tls` (when not null) outlives the stream.
  SessionStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context* tls) : socket_(std::move(socket)) {
    if (tls != nullptr) tls_ = std::make_unique<boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>>(socket_, *tls);
  }
  SessionStream(const SessionStream&) = delete;
  SessionStream& operator=(const SessionStream&) = delete;

  executor_type get_executor() { return socket_.get_executor(); }
  boost::asio::ip::tcp::socket& socket() { return socket_; }
  bool tls() const { return tls_ != nullptr; }

  // The server side of the TLS handshake. REQUIRES: tls().
  template <class Token>
  auto async_handshake(Token&& token) {
    return tls_->async_handshake(boost::asio::ssl::stream_base::server, std::forward<Token>(token));
  }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const Buffers& b) {
          if (tls_) {
            tls_->async_read_some(b, std::move(handler));
          } else {
            socket_.async_read_some(b, std::move(handler));
          }
        },
        token, buffers);
  }

  template <class Buffers, class Token>
  auto async_write_some(const Buffers& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const Buffers& b) {
          if (tls_) {
            tls_->async_write_some(b, std::move(handler));
          } else {
            socket_.async_write_some(b, std::move(handler));
          }
        },
        token, buffers);
  }

 private:
  boost::asio::ip::tcp::socket socket_;
  // Apart, so that a plain connection (of which a server may hold
  // thousands idle) does not carry the TLS stream's few hundred bytes.
  std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>> tls_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SESSION_STREAM_H_
