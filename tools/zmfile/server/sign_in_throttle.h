// What keeps a flood of wrong passwords from locking others out:
//  - failures are counted per client address and per user name; past a
//    few free ones each further attempt must wait, twice as long after
//    every failure (up to a cap), and is refused (429) without a hash;
//  - each address may hold only its share of the password-hash places, so
//    one address cannot take them all.
// A success clears its address's and its user's count. Thread-safe.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SIGN_IN_THROTTLE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SIGN_IN_THROTTLE_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zimrax::zmfile {

// Failures of one kind of key (address or user name) and their backoff.
class FailureBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  struct Settings {
    int free_failures;              // failures that cost no wait
    Clock::duration first_wait;     // the wait after the first failure past them
    Clock::duration longest_wait;   // the cap of the doubling
  };
  // Keys not failing for this long are forgotten; at most kMaxKeys are kept.
  static constexpr std::chrono::minutes kForgetAfter{15};
  static constexpr std::size_t kMaxKeys = 8192;

  explicit FailureBackoff(Settings settings) : settings_(settings) {}

  // How long `key` must still wait; nullopt when it may try now.
  std::optional<Clock::duration> WaitFor(const std::string& key, Clock::time_point now) const;
  void Failed(const std::string& key, Clock::time_point now);
  void Succeeded(const std::string& key) { entries_.erase(key); }

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point last;
  };
  Clock::duration WaitAfter(int failures) const;

  const Settings settings_;
  std::map<std::string, Entry> entries_;
};

class SignInThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  // Per address: 5 free failures, then 1 s, 2 s, ... up to 60 s; per user
  // name (which an attacker may aim at from many addresses, and a lock-out
  // of which costs its owner): 10 free, then 250 ms up to 5 s.
  static constexpr FailureBackoff::Settings kPerAddress{5, std::chrono::seconds(1), std::chrono::seconds(60)};
  static constexpr FailureBackoff::Settings kPerUser{10, std::chrono::milliseconds(250), std::chrono::seconds(5)};

  // `max_hash_checks`: all the places; an address may hold a quarter, at least one.
  explicit SignInThrottle(int max_hash_checks);

  // The wait before `address` may try `user`'s password; nullopt for now.
  std::optional<Clock::duration> WaitFor(const std::string& address, const std::string& user,
                                         Clock::time_point now) const;
  void Failed(const std::string& address, const std::string& user, Clock::time_point now);
  void Succeeded(const std::string& address, const std::string& user);

  // Takes one of `address`'s hash places; false when it holds its share.
  bool TryTakeHashPlace(const std::string& address);
  void GiveBackHashPlace(const std::string& address);
  int places_per_address() const { return places_per_address_; }

 private:
  const int places_per_address_;
  mutable std::mutex mutex_;
  FailureBackoff by_address_{kPerAddress};
  FailureBackoff by_user_{kPerUser};
  std::map<std::string, int> places_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SIGN_IN_THROTTLE_H_
