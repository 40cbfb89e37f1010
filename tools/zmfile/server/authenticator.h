// Checks HTTP Basic credentials against the users of an htpasswd file with
// libcrypt, and remembers recent successes for a while, since a bcrypt
// check costs tens of milliseconds: each use renews the time, up to an
// absolute limit after the check. Safe to use from several threads.
//
// Timing: the stored and computed hashes are compared in constant time, and
// an unknown user costs one hash like a known one, so the answer time does
// not tell which users exist. The cache is keyed by HMAC-SHA-256 of user and
// password under a random key made for this process: the password itself
// is never kept.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_AUTHENTICATOR_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_AUTHENTICATOR_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/htpasswd_file.h"

namespace zimrax::zmfile {

struct AuthOutcome {
  bool allowed = false;
  std::string user;    // the user named by the client ("" when none could be read)
  std::string reason;  // why refused, for the log ("" when allowed); never holds the password
};

class Authenticator {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kDefaultCacheEntries = 1024;
  static constexpr std::chrono::seconds kDefaultCacheTime{300};
  static constexpr std::chrono::hours kDefaultCacheLife{8};

  // A verified user and password is remembered for `cache_time` after its
  // last use, and never longer than `cache_life` after its check.
  // REQUIRES: `entries` is not empty and each hash passes IsCheckableHash.
  explicit Authenticator(std::vector<HtpasswdEntry> entries, std::size_t cache_entries = kDefaultCacheEntries,
                         Clock::duration cache_time = kDefaultCacheTime, Clock::duration cache_life = kDefaultCacheLife);

  // Without hashing: refuses a missing or malformed header, allows
  // credentials verified within the cache time. Returns nullopt when only a
  // hash check (Check) can decide.
  std::optional<AuthOutcome> CheckQuickly(std::string_view authorization);

  // The whole check: as CheckQuickly, then one crypt(3) hash (also for an
  // unknown user). A success is cached; a failure is not.
  AuthOutcome Check(std::string_view authorization);

  // How many crypt(3) hashes were computed so far (for tests and stats).
  std::uint64_t hash_count() const { return hash_count_.load(); }

 private:
  struct CacheEntry {
    Clock::time_point expires;
    Clock::time_point end_of_life;
    std::list<std::string>::iterator order;
  };

  std::string CacheKey(std::string_view user, std::string_view password) const;
  bool LookUp(const std::string& key);
  void Remember(const std::string& key);
  // crypt(3) of `password` with the settings of `hash`, compared with
  // `hash` in constant time. False too when libcrypt fails.
  bool Matches(const std::string& password, const std::string& hash);

  std::unordered_map<std::string, std::string> hashes_;  // user -> hash
  std::string dummy_hash_;                               // hashed for unknown users
  std::string hmac_key_;
  const std::size_t cache_entries_;
  const Clock::duration cache_time_;
  const Clock::duration cache_life_;
  std::atomic<std::uint64_t> hash_count_{0};

  std::mutex mutex_;
  std::unordered_map<std::string, CacheEntry> cache_;  // HMAC -> entry
  std::list<std::string> order_;                       // keys, oldest first
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_AUTHENTICATOR_H_
