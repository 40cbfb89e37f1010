// A one-shot HTTP listener on 127.0.0.1 that records the body of the next
// request it receives, so tests can use real client bodies (curl -F).
#ifndef ZIMRAX_TESTS_SUPPORT_CAPTURE_SERVER_H_
#define ZIMRAX_TESTS_SUPPORT_CAPTURE_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace zimrax::testing {

class CaptureServer {
 public:
  CaptureServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CaptureServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

  int port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload"; }

  // The captured request body. REQUIRES: the client has finished.
  const std::string& Body() {
    if (thread_.joinable()) thread_.join();
    return body_;
  }

 private:
  void Serve() {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 20000) <= 0) return;  // bounded: no client within 20 s
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    std::string request;
    char chunk[65536];
    std::size_t header_end = std::string::npos;
    std::size_t content_length = 0;
    for (;;) {
      if (header_end != std::string::npos && request.size() >= header_end + 4 + content_length) break;
      const ssize_t n = ::recv(client, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      request.append(chunk, static_cast<std::size_t>(n));
      if (header_end == std::string::npos && (header_end = request.find("\r\n\r\n")) != std::string::npos) {
        const std::size_t field = request.find("Content-Length: ");
        if (field != std::string::npos && field < header_end) content_length = std::strtoull(&request[field + 16], nullptr, 10);
      }
    }
    if (header_end != std::string::npos) body_ = request.substr(header_end + 4, content_length);
    const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ::send(client, kReply, sizeof(kReply) - 1, MSG_NOSIGNAL);
    ::close(client);
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string body_;
};

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_CAPTURE_SERVER_H_
