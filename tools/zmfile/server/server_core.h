// The acceptor side of the server: the listening socket, the connections'
// count and registry (in all and per client address), the password-hash
// threads, the signals and the stop. Its state lives on one strand.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_CORE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_CORE_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "server/request_log.h"
#include "server/serve_config.h"
#include "server/upload_server.h"
#include "server/web_origin.h"

namespace zimrax::zmfile {

class Connection;

class ServerCore {
 public:
  ServerCore(ServeConfig config, std::ostream& log, ServerAccess access);

  bool Bind();
  int port() const { return port_; }
  bool Run();

  const ServeConfig& config() const { return config_; }
  const ServeOptions& options() const { return config_.options; }
  // The origins (and Host names) the server answers as. REQUIRES: Bind() returned true.
  const std::vector<WebOrigin>& own_origins() const { return own_origins_; }
  RequestLog& log() { return log_; }
  bool stopping() const { return stopping_.load(); }
  Authenticator* authenticator() const { return access_.authenticator.get(); }
  boost::asio::ssl::context* tls() const { return access_.tls.get(); }
  // Runs `check` on the password-hash threads, so that a slow hash holds
  // up no connection but its own. False when options.max_hash_checks are
  // already waiting or running (nothing is run then).
  // REQUIRES: authenticator() is not null.
  template <class Check>
  bool PostHashCheck(Check check) {
    if (hash_checks_.fetch_add(1) >= options().max_hash_checks) {
      --hash_checks_;
      return false;
    }
    boost::asio::post(*hash_pool_, [this, check = std::move(check)]() mutable {
      check();
      --hash_checks_;
    });
    return true;
  }
  // Called once for every connection as it ends (from any thread).
  void Release(std::uint64_t id, const boost::asio::ip::address& address);

 private:
  using tcp = boost::asio::ip::tcp;

  void RaiseDescriptorLimit();
  void Accept();
  void OnAccept(const boost::system::error_code& error, tcp::socket socket);
  void WaitForSignal();
  void BeginStop(int signal);
  void AbortRemaining();
  void FinishStopIfDone();
  template <class Action>
  void ForEachConnection(Action action);

  const ServeConfig config_;
  std::vector<WebOrigin> own_origins_;
  RequestLog log_;
  const ServerAccess access_;
  boost::asio::io_context ioc_;
  // Password hashes (bcrypt costs tens of ms) run here, not on the I/O threads.
  std::unique_ptr<boost::asio::thread_pool> hash_pool_;
  std::atomic<int> hash_checks_{0};
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  tcp::acceptor acceptor_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer drain_timer_;
  boost::asio::steady_timer retry_timer_;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};
  // On strand_ only:
  int active_ = 0;
  bool accepting_ = false;
  bool paused_ = false;
  bool stopped_by_signal_ = false;
  std::uint64_t next_id_ = 0;
  std::map<boost::asio::ip::address, int> per_address_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> connections_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_CORE_H_
