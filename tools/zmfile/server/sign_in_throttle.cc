#include "server/sign_in_throttle.h"

#include <algorithm>

namespace zimrax::zmfile {

FailureBackoff::Clock::duration FailureBackoff::WaitAfter(int failures) const {
  const int past = failures - settings_.free_failures;
  if (past <= 0) return Clock::duration::zero();
  Clock::duration wait = settings_.first_wait;
  for (int i = 1; i < past && wait < settings_.longest_wait; ++i) wait *= 2;
  return std::min(wait, settings_.longest_wait);
}

std::optional<FailureBackoff::Clock::duration> FailureBackoff::WaitFor(const std::string& key,
                                                                      Clock::time_point now) const {
  const auto found = entries_.find(key);
  if (found == entries_.end()) return std::nullopt;
  const Clock::time_point allowed = found->second.last + WaitAfter(found->second.failures);
  if (now >= allowed) return std::nullopt;
  return allowed - now;
}

void FailureBackoff::Failed(const std::string& key, Clock::time_point now) {
  if (entries_.size() >= kMaxKeys && entries_.find(key) == entries_.end()) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      it = now - it->second.last >= kForgetAfter ? entries_.erase(it) : std::next(it);
    }
    // Still full: forget the key failing least, which waits least.
    if (entries_.size() >= kMaxKeys) {
      entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
        return a.second.failures < b.second.failures;
      }));
    }
  }
  Entry& entry = entries_[key];
  if (entry.failures > 0 && now - entry.last >= kForgetAfter) entry.failures = 0;
  ++entry.failures;
  entry.last = now;
}

SignInThrottle::SignInThrottle(int max_hash_checks) : places_per_address_(std::max(1, max_hash_checks / 4)) {}

std::optional<SignInThrottle::Clock::duration> SignInThrottle::WaitFor(const std::string& address,
                                                                      const std::string& user,
                                                                      Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::optional<Clock::duration> address_wait = by_address_.WaitFor(address, now);
  const std::optional<Clock::duration> user_wait = by_user_.WaitFor(user, now);
  if (!address_wait) return user_wait;
  if (!user_wait) return address_wait;
  return std::max(*address_wait, *user_wait);
}

void SignInThrottle::Failed(const std::string& address, const std::string& user, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  by_address_.Failed(address, now);
  by_user_.Failed(user, now);
}

void SignInThrottle::Succeeded(const std::string& address, const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  by_address_.Succeeded(address);
  by_user_.Succeeded(user);
}

bool SignInThrottle::TryTakeHashPlace(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  int& held = places_[address];
  if (held >= places_per_address_) return false;
  ++held;
  return true;
}

void SignInThrottle::GiveBackHashPlace(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = places_.find(address);
  if (found != places_.end() && --found->second <= 0) places_.erase(found);
}

}  // namespace zimrax::zmfile
