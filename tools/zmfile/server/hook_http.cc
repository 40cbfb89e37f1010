#include "server/hook_http.h"

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <boost/asio.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <charconv>

#include "server/hook_process.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using asio::use_awaitable;

constexpr const char* kUserAgent = "zmfile-hook";

template <class Stream>
asio::awaitable<void> Exchange(Stream& stream, const HookUrl& url, const std::string& json, HttpRun& run) {
  http::request<http::string_body> request{http::verb::post, url.target, 11};
  const bool v6 = url.host.find(':') != std::string::npos;
  const std::string host = v6 ? "[" + url.host + "]" : url.host;
  const bool default_port = url.port == (url.tls ? "443" : "80");
  request.set(http::field::host, default_port ? host : host + ":" + url.port);
  request.set(http::field::user_agent, kUserAgent);
  request.set(http::field::content_type, "application/json");
  request.set(http::field::connection, "close");
  request.body() = json;
  request.prepare_payload();
  co_await http::async_write(stream, request, use_awaitable);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(kMaxHookOutput);
  beast::error_code error;
  co_await http::async_read(stream, buffer, parser, asio::redirect_error(use_awaitable, error));
  // A longer body is cut: its status and first bytes are what counts.
  if (error && error != http::error::body_limit) throw beast::system_error(error);
  run.status = static_cast<int>(parser.get().result_int());
  run.body = parser.get().body().substr(0, kMaxHookOutput);
}

asio::awaitable<void> Post(const HookUrl& url, const std::string& json, HttpRun& run) {
  auto executor = co_await asio::this_coro::executor;
  tcp::resolver resolver(executor);
  const auto endpoints = co_await resolver.async_resolve(url.host, url.port, use_awaitable);
  if (!url.tls) {
    beast::tcp_stream stream(executor);
    co_await stream.async_connect(endpoints, use_awaitable);
    co_await Exchange(stream, url, json, run);
    co_return;
  }
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.set_default_verify_paths();
  context.set_verify_mode(asio::ssl::verify_peer);
  beast::ssl_stream<beast::tcp_stream> stream(executor, context);
  if (!SSL_set_tlsext_host_name(stream.native_handle(), url.host.c_str())) {
    throw beast::system_error(beast::error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()));
  }
  stream.set_verify_callback(asio::ssl::host_name_verification(url.host));
  co_await beast::get_lowest_layer(stream).async_connect(endpoints, use_awaitable);
  co_await stream.async_handshake(asio::ssl::stream_base::client, use_awaitable);
  co_await Exchange(stream, url, json, run);
}

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
  bool done = false;
  asio::co_spawn(context, Post(url, json, run), [&](std::exception_ptr fault) {
    done = true;
    if (!fault) return;
    try {
      std::rethrow_exception(fault);
    } catch (const std::exception& e) {
      run.status = 0;
      run.error = e.what();
    }
  });
  context.run_until(deadline);
  if (!done) {
    run.status = 0;
    run.timed_out = true;
    run.error = "no answer in time";
  }
  return run;
}

}  // namespace zimrax::zmfile
