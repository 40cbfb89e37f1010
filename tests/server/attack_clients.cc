#include "attack_clients.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <utility>

#include "server_process.h"

namespace zimrax::testing {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

int StatusOf(const std::string& head) {
  if (head.size() < 12 || head.compare(0, 7, "HTTP/1.") != 0) return 0;
  return std::atoi(head.c_str() + 9);
}

// Reads until the status line is in (or the socket's timeout passes).
std::string ReadStatusLine(int fd, SSL* tls) {
  std::string head;
  char buffer[512];
  while (head.find("\r\n") == std::string::npos && head.size() < 4096) {
    const int n = tls != nullptr ? SSL_read(tls, buffer, sizeof buffer)
                                 : static_cast<int>(::recv(fd, buffer, sizeof buffer, 0));
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return head;
}

}  // namespace

void SetOwnDescriptorLimit(unsigned long soft, unsigned long hard) {
  struct rlimit limit {};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = soft;
  if (hard != 0) limit.rlim_max = hard;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::string GetRequest(int port, const std::string& path, const std::string& extra) {
  return "GET " + path + " HTTP/1.1\r\n" + HostLine(port) + "Connection: close\r\n" + extra + "\r\n";
}

ProbeResult TimedRequest(const std::string& source, int port, const std::string& request, bool tls,
                         int timeout_seconds) {
  ProbeResult result;
  const auto start = Clock::now();
  const int fd = ConnectFrom(source, port, timeout_seconds);
  if (fd < 0) {
    result.seconds = SecondsSince(start);
    return result;
  }
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  bool sent = false;
  if (tls) {
    context = SSL_CTX_new(TLS_client_method());
    ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    sent = SSL_connect(ssl) == 1 &&
           SSL_write(ssl, request.data(), static_cast<int>(request.size())) == static_cast<int>(request.size());
  } else {
    sent = SendAll(fd, request);
  }
  if (sent) result.status = StatusOf(ReadStatusLine(fd, ssl));
  result.seconds = SecondsSince(start);
  if (ssl != nullptr) SSL_free(ssl);
  if (context != nullptr) SSL_CTX_free(context);
  ::close(fd);
  return result;
}

double LoadAwareBound(double figure, double baseline_seconds) {
  return figure * kAttackTimeScale + kBaselineAllowance * baseline_seconds;
}

double BaselineSeconds(const std::string& source, int port, const std::string& request, bool tls, int count) {
  std::vector<double> seconds;
  for (int i = 0; i < count; ++i) seconds.push_back(TimedRequest(source, port, request, tls).seconds);
  return Quantile(seconds, 0.5);
}

double Quantile(std::vector<double> seconds, double fraction) {
  if (seconds.empty()) return 0;
  std::sort(seconds.begin(), seconds.end());
  const auto at = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(seconds.size()))) - 1;
  return seconds[std::min(at, seconds.size() - 1)];
}

ConnectionFlood::ConnectionFlood(std::string source, int port, int per_second, double hold_seconds, int max_held)
    : source_(std::move(source)), port_(port), per_second_(per_second), max_held_(max_held),
      hold_seconds_(hold_seconds), thread_([this] { Run(); }) {}

void ConnectionFlood::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void ConnectionFlood::Run() {
  std::deque<std::pair<Clock::time_point, int>> held;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source_.c_str(), &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port_));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  // In steps of 10 ms, so that the connections come evenly.
  const int per_step = std::max(1, per_second_ / 100);
  while (!stop_) {
    const auto step = Clock::now();
    for (int i = 0; i < per_step && static_cast<int>(held.size()) < max_held_; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
          (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        ::close(fd);
        continue;
      }
      held.emplace_back(Clock::now(), fd);
      ++opened_;
    }
    while (!held.empty() && SecondsSince(held.front().first) > hold_seconds_) {
      ::close(held.front().second);
      held.pop_front();
    }
    std::this_thread::sleep_until(step + std::chrono::milliseconds(10));
  }
  for (const auto& entry : held) ::close(entry.second);
}

Prober::Prober(std::string source, int port, std::string request, std::chrono::milliseconds period, bool tls)
    : source_(std::move(source)), request_(std::move(request)), port_(port), period_(period), tls_(tls),
      thread_([this] {
        while (!stop_) {
          const auto start = Clock::now();
          results_.push_back(TimedRequest(source_, port_, request_, tls_));
          std::this_thread::sleep_until(start + period_);
        }
      }) {}

std::vector<ProbeResult> Prober::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return results_;
}

bool MakeTestCertificate(const std::string& dir) {
  return RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem", "-days", "2", "-subj", "/CN=localhost",
                     "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"})
             .exit_status == 0;
}

}  // namespace zimrax::testing
