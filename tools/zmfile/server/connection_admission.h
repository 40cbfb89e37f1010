// Who may take a connection slot, decided at accept before a byte is read:
// a token bucket of new connections per client address, the cap on
// connections from one address (checked before any TLS handshake), and
// the cap on handshakes in progress. A connection refused here is closed
// at once (or, over plain HTTP, answered 503 from the lingering pool), so
// a flood from one address costs the others nothing but the accepts.
//
// Not thread-safe: the acceptor's strand owns it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_ADMISSION_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_ADMISSION_H_

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <map>

namespace zimrax::zmfile {

// Tokens per address: `rate` a second, at most `burst` saved up. An
// address not seen for a while starts full again; the table is pruned so
// that it holds no more than kMaxTracked addresses.
class AcceptRateLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxTracked = 4096;

  // REQUIRES: rate > 0, burst >= 1.
  AcceptRateLimiter(double rate, double burst) : rate_(rate), burst_(burst) {}

  // True (and one token spent) when `address` may open a connection now.
  bool TryAccept(const boost::asio::ip::address& address, Clock::time_point now);
  std::size_t tracked() const { return buckets_.size(); }

 private:
  struct Bucket {
    double tokens;
    Clock::time_point updated;
  };
  void Prune(Clock::time_point now);

  const double rate_;
  const double burst_;
  std::map<boost::asio::ip::address, Bucket> buckets_;
};

enum class Admission {
  kServe,         // takes a slot
  kOverRate,      // the address opens connections faster than the rate: close at once
  kOverAddress,   // more than --max-per-address open: plain 503 from the pool, TLS closed at once
  kOverHandshakes // too many TLS handshakes in progress: close at once
};

// The handshake cap for `max_connections`: a quarter of them, at least one.
int HandshakeCapFor(int max_connections);
// The time a TLS handshake may take: 3 s, or the header time when shorter.
std::chrono::seconds HandshakeTimeFor(int header_seconds);

// The order of the checks at accept: rate first (it costs nothing to
// refuse), then the address's open connections, then handshakes.
Admission Admit(bool rate_allows, int open_from_address, int max_per_address, bool tls, int handshakes_in_progress,
                int handshake_cap);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_CONNECTION_ADMISSION_H_
