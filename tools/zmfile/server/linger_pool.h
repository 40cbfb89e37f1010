// Plain connections that are done but for their close: each is answered
// (a short refusal, written once without waiting), half-closed, and its
// client's remaining bytes are read and dropped for at most `linger_time`
// and kMaxDrained bytes, so that the client reads the answer rather than a
// reset. The pool holds no connection slot: it has its own cap, and a
// connection that finds it full is closed at once.
//
// Thread-safe; every socket is handled on the pool's strand.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_LINGER_POOL_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_LINGER_POOL_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string_view>

namespace zimrax::zmfile {

class LingerPool {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint64_t kMaxDrained = 64 * 1024;

  // REQUIRES: capacity > 0; the pool is destroyed before `ioc`, after
  // Close() and the io_context's run has returned.
  LingerPool(boost::asio::io_context& ioc, std::size_t capacity, Clock::duration linger_time);

  // Writes `answer` (what fits in the socket's send buffer, at once),
  // half-closes and drains. `answer` must outlive no call: it is sent
  // before Adopt returns. False when the pool was full (or closed) and the
  // connection was closed at once instead.
  bool Adopt(boost::asio::ip::tcp::socket socket, std::string_view answer);

  // Closes everything lingering; later Adopt calls close at once.
  void Close();

  std::size_t size() const { return size_.load(); }

 private:
  struct Entry {
    explicit Entry(boost::asio::ip::tcp::socket s) : socket(std::move(s)) {}
    boost::asio::ip::tcp::socket socket;
    Clock::time_point deadline;
    std::uint64_t drained = 0;
    std::array<char, 512> scratch{};
  };
  using Entries = std::list<std::shared_ptr<Entry>>;

  void Drain(Entries::iterator entry);
  void Remove(Entries::iterator entry);
  void ArmSweep();

  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  boost::asio::steady_timer sweep_;
  const std::size_t capacity_;
  const Clock::duration linger_time_;
  std::atomic<std::size_t> size_{0};  // reserved places, counted at Adopt
  std::atomic<bool> closed_{false};
  bool sweeping_ = false;  // on strand_
  Entries entries_;        // on strand_, oldest first
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_LINGER_POOL_H_
