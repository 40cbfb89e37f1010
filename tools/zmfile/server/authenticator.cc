#include "server/authenticator.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "server/basic_credentials.h"

namespace zimrax::zmfile {
namespace {

constexpr std::size_t kHmacKeySize = 32;

// The user name as it may appear in a log line: printable ASCII kept,
// everything else escaped, and at most 64 bytes.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < 64; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7f || byte == '"' || byte == '\\') {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out + (text.size() > 64 ? "...\"" : "\"");
}

}  // namespace

Authenticator::Authenticator(std::vector<HtpasswdEntry> entries, std::size_t cache_entries, Clock::duration cache_time,
                             Clock::duration cache_life)
    : cache_entries_(cache_entries), cache_time_(cache_time), cache_life_(cache_life) {
  // An unknown user's password is hashed with a known user's settings (so
  // with the same method and cost) and then refused whatever comes out.
  if (!entries.empty()) dummy_hash_ = entries.front().hash;
  for (HtpasswdEntry& entry : entries) hashes_.emplace(std::move(entry.user), std::move(entry.hash));
  hmac_key_.resize(kHmacKeySize);
  if (RAND_bytes(reinterpret_cast<unsigned char*>(hmac_key_.data()), static_cast<int>(hmac_key_.size())) != 1) {
    throw std::runtime_error("no random bytes for the credential cache key");
  }
}

std::string Authenticator::CacheKey(std::string_view user, std::string_view password) const {
  // The user's length first, so that ("a:b", "c") and ("a", "b:c") differ.
  std::string message = std::to_string(user.size()) + ":";
  message.append(user);
  message.append(password);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), hmac_key_.data(), static_cast<int>(hmac_key_.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &size);
  OPENSSL_cleanse(message.data(), message.size());
  return std::string(reinterpret_cast<const char*>(digest), size);
}

bool Authenticator::LookUp(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = cache_.find(key);
  if (found == cache_.end()) return false;
  const Clock::time_point now = Clock::now();
  if (now < found->second.expires) {
    found->second.expires = std::min(now + cache_time_, found->second.end_of_life);
    return true;
  }
  order_.erase(found->second.order);
  cache_.erase(found);
  return false;
}

void Authenticator::Remember(const std::string& key) {
  if (cache_entries_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto found = cache_.find(key); found != cache_.end()) {
    order_.erase(found->second.order);
    cache_.erase(found);
  }
  while (cache_.size() >= cache_entries_) {
    cache_.erase(order_.front());
    order_.pop_front();
  }
  order_.push_back(key);
  const Clock::time_point now = Clock::now();
  cache_.emplace(key, CacheEntry{std::min(now + cache_time_, now + cache_life_), now + cache_life_,
                                 std::prev(order_.end())});
}

bool Authenticator::Matches(const std::string& password, const std::string& hash) {
  ++hash_count_;
  auto data = std::make_unique<crypt_data>();
  const char* computed = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof(crypt_data));
  const bool same = computed != nullptr && std::strlen(computed) == hash.size() &&
                    CRYPTO_memcmp(computed, hash.data(), hash.size()) == 0;
  OPENSSL_cleanse(data.get(), sizeof(crypt_data));
  return same;
}

std::optional<AuthOutcome> Authenticator::CheckQuickly(std::string_view authorization) {
  if (authorization.empty()) return AuthOutcome{false, "", "no credentials"};
  const std::optional<BasicCredentials> credentials = ParseBasicAuthorization(authorization);
  if (!credentials) return AuthOutcome{false, "", "the Authorization header is not valid Basic credentials"};
  if (LookUp(CacheKey(credentials->user, credentials->password))) return AuthOutcome{true, credentials->user, ""};
  return std::nullopt;
}

AuthOutcome Authenticator::Check(std::string_view authorization) {
  if (std::optional<AuthOutcome> quick = CheckQuickly(authorization)) return *quick;
  BasicCredentials credentials = *ParseBasicAuthorization(authorization);
  AuthOutcome outcome{false, credentials.user, ""};
  const auto found = hashes_.find(credentials.user);
  if (found == hashes_.end()) {
    Matches(credentials.password, dummy_hash_);
    outcome.reason = "unknown user " + Quoted(credentials.user);
  } else if (!Matches(credentials.password, found->second)) {
    outcome.reason = "wrong password for user " + Quoted(credentials.user);
  } else {
    outcome.allowed = true;
    Remember(CacheKey(credentials.user, credentials.password));
  }
  OPENSSL_cleanse(credentials.password.data(), credentials.password.size());
  return outcome;
}

}  // namespace zimrax::zmfile
