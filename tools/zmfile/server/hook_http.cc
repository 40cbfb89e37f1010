#include "server/hook_http.h"

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <charconv>
#include <optional>

#include "server/hook_process.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr const char* kUserAgent = "zmfile-hook";

// One POST on a private io_context, in callbacks: the caller runs the
// context until the deadline, and whatever is still pending then is
// dropped with the context.
class HookPost {
 public:
  HookPost(asio::io_context& context, const HookUrl& url, const std::string& json, HttpRun& run)
      : context_(context), url_(url), run_(run), resolver_(context) {
    request_ = http::request<http::string_body>{http::verb::post, url.target, 11};
    const bool v6 = url.host.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + url.host + "]" : url.host;
    const bool default_port = url.port == (url.tls ? "443" : "80");
    request_.set(http::field::host, default_port ? host : host + ":" + url.port);
    request_.set(http::field::user_agent, kUserAgent);
    request_.set(http::field::content_type, "application/json");
    request_.set(http::field::connection, "close");
    request_.body() = json;
    request_.prepare_payload();
    parser_.body_limit(kMaxHookOutput);
  }

  bool done() const { return done_; }

  void Start() {
    resolver_.async_resolve(url_.host, url_.port,
                            [this](const beast::error_code& error, const tcp::resolver::results_type& endpoints) {
                              if (error) return Fail(error);
                              Connect(endpoints);
                            });
  }

 private:
  void Connect(const tcp::resolver::results_type& endpoints) {
    if (!url_.tls) {
      plain_.emplace(context_);
      plain_->async_connect(endpoints, [this](const beast::error_code& error, const tcp::endpoint&) {
        if (error) return Fail(error);
        Write(*plain_);
      });
      return;
    }
    // Only an https:// hook pays for a TLS context.
    tls_.emplace(asio::ssl::context::tls_client);
    tls_->set_default_verify_paths();
    tls_->set_verify_mode(asio::ssl::verify_peer);
    secure_.emplace(context_, *tls_);
    if (!SSL_set_tlsext_host_name(secure_->native_handle(), url_.host.c_str())) {
      return Fail(beast::error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()));
    }
    secure_->set_verify_callback(asio::ssl::host_name_verification(url_.host));
    beast::get_lowest_layer(*secure_).async_connect(endpoints, [this](const beast::error_code& error, const tcp::endpoint&) {
      if (error) return Fail(error);
      secure_->async_handshake(asio::ssl::stream_base::client, [this](const beast::error_code& handshake) {
        if (handshake) return Fail(handshake);
        Write(*secure_);
      });
    });
  }

  template <class Stream>
  void Write(Stream& stream) {
    http::async_write(stream, request_, [this, &stream](const beast::error_code& error, std::size_t) {
      if (error) return Fail(error);
      http::async_read(stream, buffer_, parser_, [this](const beast::error_code& read, std::size_t) {
        // A longer body is cut: its status and first bytes are what counts.
        if (read && read != http::error::body_limit) return Fail(read);
        run_.status = static_cast<int>(parser_.get().result_int());
        run_.body = parser_.get().body().substr(0, kMaxHookOutput);
        done_ = true;
      });
    });
  }

  void Fail(const beast::error_code& error) {
    run_.status = 0;
    run_.error = error.message();
    done_ = true;
  }

  asio::io_context& context_;
  const HookUrl& url_;
  HttpRun& run_;
  tcp::resolver resolver_;
  std::optional<asio::ssl::context> tls_;
  std::optional<beast::tcp_stream> plain_;
  std::optional<beast::ssl_stream<beast::tcp_stream>> secure_;
  http::request<http::string_body> request_;
  beast::flat_buffer buffer_;
  http::response_parser<http::string_body> parser_;
  bool done_ = false;
};

bool Carriable(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) return false;
  }
  return true;
}

}  // namespace

std::optional<HookUrl> ParseHookUrl(std::string_view text, std::string* why) {
  HookUrl url;
  if (text.starts_with("http://")) {
    text.remove_prefix(7);
  } else if (text.starts_with("https://")) {
    url.tls = true;
    text.remove_prefix(8);
  } else {
    *why = "a hook URL starts with http:// or https://";
    return std::nullopt;
  }
  if (!Carriable(text) || text.find('#') != std::string_view::npos) {
    *why = "the URL holds a blank, a control byte, a non-ASCII byte or a fragment";
    return std::nullopt;
  }
  const std::size_t slash = text.find_first_of("/?");
  std::string_view authority = text.substr(0, slash);
  url.target = slash == std::string_view::npos ? "/" : std::string(text.substr(slash));
  if (url.target.front() == '?') url.target.insert(0, "/");
  if (authority.find('@') != std::string_view::npos) {
    *why = "the URL holds user information";
    return std::nullopt;
  }
  std::string_view port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      *why = "the URL's IPv6 address has no closing bracket";
      return std::nullopt;
    }
    url.host = std::string(authority.substr(1, close - 1));
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) {
      *why = "the URL's host is followed by something else than a port";
      return std::nullopt;
    }
    if (!rest.empty()) port = rest.substr(1);
  } else {
    const std::size_t colon = authority.find(':');
    url.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (url.host.empty()) {
    *why = "the URL has no host";
    return std::nullopt;
  }
  if (port.empty()) {
    url.port = url.tls ? "443" : "80";
    return url;
  }
  int number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (error != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535) {
    *why = "the URL's port is not a number from 1 to 65535";
    return std::nullopt;
  }
  url.port = std::to_string(number);
  return url;
}

HttpRun PostHookDocument(const HookUrl& url, const std::string& json, std::chrono::steady_clock::time_point deadline) {
  HttpRun run;
  asio::io_context context(1);
  // Declared after the context, so destroyed before it: its sockets go
  // first, then the context drops the handlers still pending.
  HookPost post(context, url, json, run);
  post.Start();
  context.run_until(deadline);
  if (!post.done()) {
    run.status = 0;
    run.timed_out = true;
    run.error = "no answer in time";
  }
  return run;
}

}  // namespace zimrax::zmfile
