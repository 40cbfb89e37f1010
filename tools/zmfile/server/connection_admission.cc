#include "server/connection_admission.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace zimrax::zmfile {

bool AcceptRateLimiter::TryAccept(const boost::asio::ip::address& address, Clock::time_point now) {
  auto found = buckets_.find(address);
  if (found == buckets_.end()) {
    if (buckets_.size() >= kMaxTracked) Prune(now);
    found = buckets_.emplace(address, Bucket{burst_, now}).first;
  }
  Bucket& bucket = found->second;
  const double elapsed = std::chrono::duration<double>(now - bucket.updated).count();
  bucket.tokens = std::min(burst_, bucket.tokens + std::max(0.0, elapsed) * rate_);
  bucket.updated = now;
  if (bucket.tokens < 1.0 - 1e-9) return false;  // the sum of many small refills may fall just short
  bucket.tokens -= 1.0;
  return true;
}

void AcceptRateLimiter::Prune(Clock::time_point now) {
  // A bucket that would be full again is the same as none.
  const auto refill = std::chrono::duration<double>(burst_ / rate_);
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    it = now - it->second.updated >= refill ? buckets_.erase(it) : std::next(it);
  }
  // Still full of addresses that are all busy: forget the oldest half.
  if (buckets_.size() >= kMaxTracked) {
    std::vector<std::pair<Clock::time_point, boost::asio::ip::address>> by_age;
    for (const auto& [address, bucket] : buckets_) by_age.emplace_back(bucket.updated, address);
    std::sort(by_age.begin(), by_age.end());
    for (std::size_t i = 0; i < by_age.size() / 2; ++i) buckets_.erase(by_age[i].second);
  }
}

int HandshakeCapFor(int max_connections) { return std::max(1, max_connections / 4); }

std::chrono::seconds HandshakeTimeFor(int header_seconds) {
  return std::chrono::seconds(std::clamp(header_seconds, 1, 3));
}

Admission Admit(bool rate_allows, int open_from_address, int max_per_address, bool tls, int handshakes_in_progress,
                int handshake_cap) {
  if (!rate_allows) return Admission::kOverRate;
  if (open_from_address >= max_per_address) return Admission::kOverAddress;
  if (tls && handshakes_in_progress >= handshake_cap) return Admission::kOverHandshakes;
  return Admission::kServe;
}

}  // namespace zimrax::zmfile
