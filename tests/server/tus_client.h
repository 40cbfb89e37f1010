// Test support: tus requests to a zmfile server on loopback, each on its own
// connection, built from a method, a target, header lines and a body.
#ifndef ZIMRAX_TESTS_SERVER_TUS_CLIENT_H_
#define ZIMRAX_TESTS_SERVER_TUS_CLIENT_H_

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "server_process.h"

namespace zimrax::testing {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

inline std::string Base64(const std::string& bytes) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const auto byte = [&](std::size_t k) { return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0u; };
    const unsigned n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += kLetters[n >> 18 & 63];
    out += kLetters[n >> 12 & 63];
    out += i + 1 < bytes.size() ? kLetters[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kLetters[n & 63] : '=';
  }
  return out;
}

// The whole request text; Tus-Resumable is added unless `headers` names it.
inline std::string TusRequest(int port, const std::string& method, const std::string& target,
                              const HeaderLines& headers, const std::string& body = "",
                              const std::string& authorization = "") {
  std::string request = method + " " + target + " HTTP/1.1\r\n" + HostLine(port);
  bool has_version = false;
  for (const auto& [name, value] : headers) {
    if (name == "Tus-Resumable") has_version = true;
    if (!value.empty() || name != "Tus-Resumable") request += name + ": " + value + "\r\n";
  }
  if (!has_version) request += "Tus-Resumable: 1.0.0\r\n";
  if (!authorization.empty()) request += "Authorization: Basic " + Base64(authorization) + "\r\n";
  if (!body.empty() || method == "PATCH") request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return request + "Connection: close\r\n\r\n" + body;
}

inline HttpAnswer Tus(int port, const std::string& method, const std::string& target, const HeaderLines& headers,
                      const std::string& body = "", const std::string& authorization = "") {
  return ParseHttpAnswer(RawExchange(port, TusRequest(port, method, target, headers, body, authorization)));
}

// Creates an upload of `length` bytes named `filename`; returns its path
// ("/resumable/ID"), or "" when the server refused.
inline std::string CreateUpload(int port, const std::string& filename, std::size_t length,
                                const std::string& authorization = "", const std::string& extra_metadata = "") {
  const HttpAnswer answer = Tus(
      port, "POST", "/resumable/",
      {{"Upload-Length", std::to_string(length)}, {"Upload-Metadata", "filename " + Base64(filename) + extra_metadata}},
      "", authorization);
  return answer.status == 201 ? answer.Header("Location") : "";
}

inline HttpAnswer Patch(int port, const std::string& target, std::size_t offset, const std::string& data,
                        const HeaderLines& extra = {}, const std::string& authorization = "") {
  HeaderLines headers = {{"Upload-Offset", std::to_string(offset)},
                         {"Content-Type", "application/offset+octet-stream"}};
  headers.insert(headers.end(), extra.begin(), extra.end());
  return Tus(port, "PATCH", target, headers, data, authorization);
}

// Sends `data` as a chunked body (Transfer-Encoding: chunked) in chunks of
// `chunk` bytes, with `headers` ("Name: value\r\n" lines) besides.
inline HttpAnswer ChunkedTus(int port, const std::string& method, const std::string& target, const std::string& headers,
                             const std::string& data, std::size_t chunk = 2) {
  std::string body;
  for (std::size_t at = 0; at < data.size(); at += chunk) {
    const std::string piece = data.substr(at, chunk);
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    body += size + piece + "\r\n";
  }
  body += "0\r\n\r\n";
  return ParseHttpAnswer(
      RawExchange(port, method + " " + target + " HTTP/1.1\r\n" + HostLine(port) +
                            "Tus-Resumable: 1.0.0\r\nContent-Type: application/offset+octet-stream\r\n" + headers +
                            "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + body));
}

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SERVER_TUS_CLIENT_H_
