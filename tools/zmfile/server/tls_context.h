// The TLS settings of `zmfile serve --tls-cert FILE --tls-key FILE`.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_TLS_CONTEXT_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_TLS_CONTEXT_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

namespace zimrax::zmfile {

// A server context with the certificate chain `cert_file` and the private
// key `key_file` (PEM): TLS 1.2 and later, forward-secret AEAD ciphers for
// TLS 1.2, no compression, no renegotiation, no session tickets. Returns
// null and sets `error` (naming the file) when a file cannot be read or the
// key does not belong to the certificate.
std::shared_ptr<boost::asio::ssl::context> MakeTlsContext(const std::string& cert_file, const std::string& key_file,
                                                          std::string* error);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_TLS_CONTEXT_H_
