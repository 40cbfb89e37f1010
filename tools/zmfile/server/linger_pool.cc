#include "server/linger_pool.h"

namespace zimrax::zmfile {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

LingerPool::LingerPool(asio::io_context& ioc, std::size_t capacity, Clock::duration linger_time)
    : strand_(asio::make_strand(ioc)), sweep_(strand_), capacity_(capacity), linger_time_(linger_time) {}

bool LingerPool::Adopt(tcp::socket socket, std::string_view answer) {
  boost::system::error_code ignored;
  socket.non_blocking(true, ignored);
  if (!answer.empty()) socket.send(asio::buffer(answer.data(), answer.size()), 0, ignored);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  if (closed_ || size_.fetch_add(1) >= capacity_) {
    if (!closed_) --size_;
    socket.close(ignored);
    return false;
  }
  auto entry = std::make_shared<Entry>(std::move(socket));
  entry->deadline = Clock::now() + linger_time_;
  asio::post(strand_, [this, entry] {
    if (closed_) {
      boost::system::error_code e;
      entry->socket.close(e);
      --size_;
      return;
    }
    entries_.push_back(entry);
    ArmSweep();
    Drain(std::prev(entries_.end()));
  });
  return true;
}

void LingerPool::Drain(Entries::iterator it) {
  std::shared_ptr<Entry> entry = *it;
  entry->socket.async_read_some(
      asio::buffer(entry->scratch),
      asio::bind_executor(strand_, [this, it, entry](const boost::system::error_code& error, std::size_t n) {
        if (!entry->socket.is_open()) return;  // removed by the sweep; `it` is gone
        entry->drained += n;
        if (error || entry->drained > kMaxDrained) return Remove(it);
        Drain(it);
      }));
}

void LingerPool::Remove(Entries::iterator it) {
  boost::system::error_code ignored;
  (*it)->socket.close(ignored);
  entries_.erase(it);
  --size_;
}

void LingerPool::ArmSweep() {
  if (sweeping_ || entries_.empty()) return;
  sweeping_ = true;
  sweep_.expires_at(entries_.front()->deadline);
  sweep_.async_wait([this](const boost::system::error_code& error) {
    sweeping_ = false;
    if (error) return;
    const Clock::time_point now = Clock::now();
    while (!entries_.empty() && entries_.front()->deadline <= now) Remove(entries_.begin());
    ArmSweep();
  });
}

void LingerPool::Close() {
  closed_ = true;
  asio::post(strand_, [this] {
    sweep_.cancel();
    while (!entries_.empty()) Remove(entries_.begin());
  });
}

}  // namespace zimrax::zmfile
