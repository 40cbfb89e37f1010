#include "hook_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace zimrax::testing {

HookReceiver::HookReceiver(Responder respond) : respond_(std::move(respond)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

HookReceiver::~HookReceiver() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

std::string HookReceiver::Url(const std::string& path) const {
  return std::string("http://127.0.0.1:").append(std::to_string(port_)).append(path);
}

std::vector<std::string> HookReceiver::Bodies() const {
  std::lock_guard lock(mutex_);
  return bodies_;
}

void HookReceiver::Serve() {
  while (!stopping_) {
    pollfd watch{listener_, POLLIN, 0};
    if (::poll(&watch, 1, 50) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    Answer(fd);
    ::close(fd);
  }
}

void HookReceiver::Answer(int fd) {
  std::string request;
  char buffer[16 * 1024];
  std::size_t head_end = std::string::npos;
  std::size_t length = 0;
  for (;;) {
    if (head_end != std::string::npos && request.size() >= head_end + 4 + length) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
    if (head_end == std::string::npos && (head_end = request.find("\r\n\r\n")) != std::string::npos) {
      const std::size_t at = request.find("Content-Length: ");
      if (at != std::string::npos && at < head_end) length = std::strtoul(request.c_str() + at + 16, nullptr, 10);
    }
  }
  const std::string body = request.substr(head_end + 4, length);
  const int number = count_++;
  {
    std::lock_guard lock(mutex_);
    bodies_.push_back(body);
  }
  const ReceiverAnswer answer = respond_(number, body);
  // The delay ends early when the receiver stops.
  for (auto waited = std::chrono::milliseconds(0); waited < answer.delay && !stopping_;
       waited += std::chrono::milliseconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string reply = std::string("HTTP/1.1 ").append(std::to_string(answer.status)).append(" X\r\n");
  reply.append("Content-Length: ").append(std::to_string(answer.body.size())).append("\r\n");
  reply.append("Connection: close\r\n\r\n").append(answer.body);
  ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

}  // namespace zimrax::testing
