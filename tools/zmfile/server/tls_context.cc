#include "server/tls_context.h"

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/ssl.hpp>

namespace zimrax::zmfile {
namespace {

namespace ssl = boost::asio::ssl;

// TLS 1.2 suites: ECDHE key exchange and AEAD only (TLS 1.3's are all fine).
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The reason of OpenSSL's last error, else `fallback`.
std::string OpenSslReason(const boost::system::error_code& error) {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) return reason;
  }
  return error.message();
}

}  // namespace

std::shared_ptr<ssl::context> MakeTlsContext(const std::string& cert_file, const std::string& key_file,
                                             std::string* error) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                       ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::no_compression |
                       ssl::context::single_dh_use);
  SSL_CTX* native = context->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_cipher_list(native, kTls12Ciphers);
  boost::system::error_code failed;
  context->use_certificate_chain_file(cert_file, failed);
  if (failed) {
    *error = "--tls-cert " + cert_file + ": cannot use it as a PEM certificate chain (" + OpenSslReason(failed) + ")";
    return nullptr;
  }
  const std::string mismatch =
      "--tls-key " + key_file + " is not the key of the certificate in --tls-cert " + cert_file;
  context->use_private_key_file(key_file, ssl::context::pem, failed);
  if (failed) {
    const std::string reason = OpenSslReason(failed);
    *error = reason == "key values mismatch"
                 ? mismatch
                 : "--tls-key " + key_file + ": cannot use it as a PEM private key (" + reason + ")";
    return nullptr;
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    ERR_clear_error();
    *error = mismatch;
    return nullptr;
  }
  return context;
}

}  // namespace zimrax::zmfile
