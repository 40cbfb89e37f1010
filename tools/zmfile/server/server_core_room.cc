// Making room when the server runs short: the connection idle longest
// between requests gives way to a new client, and only when none is idle
// is a new connection answered 503 with the descriptor kept in reserve.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "server/connection.h"
#include "server/server_core.h"

namespace zimrax::zmfile {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

void ServerCore::AcceptWithReserve() {
  budget_->ReleaseReserve();
  const int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    metrics_.CountRefusal(RefusalCause::kBudgets);
    static constexpr std::string_view kNoDescriptors =
        "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    [[maybe_unused]] const ssize_t sent = ::send(fd, kNoDescriptors.data(), kNoDescriptors.size(), MSG_NOSIGNAL);
    ::close(fd);
    if (++refused_count_ % 100 == 1) log_.Note("out of descriptors: a connection answered 503 from the reserve");
  }
  budget_->RestoreReserve();
}

bool ServerCore::ShedOldestIdle(const char* why) {
  if (shedding_) return false;
  std::shared_ptr<Connection> oldest;
  Connection::Clock::rep oldest_since = 0;
  for (auto& [id, weak] : connections_) {
    std::shared_ptr<Connection> connection = weak.lock();
    const Connection::Clock::rep since = connection ? connection->idle_since() : 0;
    if (since != 0 && (oldest == nullptr || since < oldest_since)) {
      oldest = std::move(connection);
      oldest_since = since;
    }
  }
  if (oldest == nullptr) return false;
  shedding_ = true;
  oldest->ShedIfIdle([this, why](bool closed) {
    // After the connection's Release: its slot and descriptor are free.
    asio::post(strand_, [this, why, closed] {
      shedding_ = false;
      // Not idle after all: the pause (and its watch) starts again.
      if (!closed) paused_ = false;
      if (closed && shed_count_++ % 100 == 0) {
        log_.Note(std::string("short of ") + why + ": closed the connection idle longest between requests (" +
                  std::to_string(shed_count_) + " so far)");
      }
      Accept();
    });
  });
  return true;
}

void ServerCore::WatchBacklog() {
  acceptor_.async_wait(tcp::acceptor::wait_read, [this](const beast::error_code& error) {
    if (error || stopping_ || !paused_ || ShedOldestIdle("connections")) return;
    // No connection is idle yet: look again shortly.
    retry_timer_.expires_after(std::chrono::milliseconds(100));
    retry_timer_.async_wait([this](const beast::error_code& e) {
      if (!e && paused_ && !stopping_) WatchBacklog();
    });
  });
}

bool ServerCore::BacklogWaiting() {
  pollfd waiting{acceptor_.native_handle(), POLLIN, 0};
  return ::poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0;
}

}  // namespace zimrax::zmfile
