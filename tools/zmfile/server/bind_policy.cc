#include "server/bind_policy.h"

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cctype>
#include <string>

namespace zimrax::zmfile {
namespace {

namespace ip = boost::asio::ip;

bool IsLoopbackAddress(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return ip::make_address_v4(ip::v4_mapped, address.to_v6()).is_loopback();
  }
  return address.is_loopback();
}

}  // namespace

bool IsLoopbackHost(std::string_view host) {
  if (host.empty()) return false;
  if (host.size() == 9 && std::equal(host.begin(), host.end(), "localhost",
                                     [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
    return true;
  }
  if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
  boost::system::error_code error;
  const ip::address address = ip::make_address(std::string(host), error);
  if (!error) return IsLoopbackAddress(address);
  // A name: every address it resolves to must be a loopback one.
  boost::asio::io_context context;
  ip::tcp::resolver resolver(context);
  const auto results = resolver.resolve(std::string(host), "0", ip::tcp::resolver::numeric_service, error);
  if (error || results.empty()) return false;
  for (const auto& result : results) {
    if (!IsLoopbackAddress(result.endpoint().address())) return false;
  }
  return true;
}

BindDecision DecideBind(const ServeOptions& options) {
  BindDecision decision;
  if (options.tls_cert.empty() != options.tls_key.empty()) {
    decision.refusal = options.tls_cert.empty() ? "--tls-key needs --tls-cert (the certificate it belongs to)"
                                                : "--tls-cert needs --tls-key (the certificate's private key)";
    decision.about = options.tls_cert.empty() ? "--tls-key" : "--tls-cert";
    return decision;
  }
  if (!options.htpasswd.empty() && options.no_auth) {
    decision.refusal = "--htpasswd and --no-auth contradict each other: give one";
    decision.about = "--no-auth";
    return decision;
  }
  const bool loopback = IsLoopbackHost(options.host);
  if (options.allow_delete && options.htpasswd.empty() && !loopback) {
    decision.refusal = "refusing --allow-delete on " + options.host +
                       " without --htpasswd: anyone who can reach it could delete the stored files";
    decision.about = "--allow-delete";
    return decision;
  }
  if (!options.htpasswd.empty() || loopback) return decision;
  if (options.no_auth) {
    decision.warning = "warning: listening on " + options.host +
                       " with --no-auth: anyone who can reach it may upload and download files";
    return decision;
  }
  decision.refusal = "refusing to listen on " + options.host +
                     " without authentication: anyone who can reach it could upload and download files. "
                     "Give --htpasswd FILE (make one with `htpasswd -B -c FILE USER`), listen on 127.0.0.1, "
                     "or, behind a proxy that authenticates, say --no-auth";
  decision.about = "--host";
  return decision;
}

}  // namespace zimrax::zmfile
