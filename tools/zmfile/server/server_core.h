// The acceptor side of the server: the listening socket, the connections'
// count and registry (in all and per client address), who may take a
// connection slot (ConnectionAdmission), the descriptor budget, the
// guards the connections share (sign-in throttle, listing scans, the pool
// of refused connections lingering), the password-hash threads, the
// signals and the stop. Its state lives on one strand.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_CORE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_CORE_H_

#include <utility>  // before Boost.Asio: g++ 12 in C++20 mode needs it first

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/body_buffer_budget.h"
#include "server/connection_admission.h"
#include "server/descriptor_budget.h"
#include "server/fair_task_queue.h"
#include "server/file_start_pacer.h"
#include "server/hook_counters.h"
#include "server/linger_pool.h"
#include "server/listing_service.h"
#include "server/request_log.h"
#include "server/sign_in_throttle.h"
#include "server/serve_config.h"
#include "server/upload_hooks.h"
#include "server/server_metrics.h"
#include "server/upload_server.h"
#include "server/web_origin.h"

namespace zimrax::zmfile {

class Connection;

class ServerCore {
 public:
  ServerCore(ServeConfig config, std::ostream& log, ServerAccess access);

  // Takes the descriptor budget (raising the process's limit), then binds.
  bool Bind();
  int port() const { return port_; }
  // REQUIRES: Bind() succeeded.
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
  // up no connection but its own; the checks of different client
  // addresses take turns (FairTaskQueue). False when options.max_hash_checks
  // are already waiting or running (nothing is run then).
  // REQUIRES: authenticator() is not null.
  template <class Check>
  bool PostHashCheck(const std::string& address, Check check) {
    if (hash_checks_.fetch_add(1) >= options().max_hash_checks) {
      --hash_checks_;
      return false;
    }
    hash_queue_.Push(address, [check = std::make_shared<Check>(std::move(check))] { (*check)(); });
    // Each post runs whichever check is next in turn.
    boost::asio::post(*hash_pool_, [this] {
      if (std::optional<FairTaskQueue::Task> next = hash_queue_.Pop()) (*next)();
      --hash_checks_;
    });
    return true;
  }
  // True when an upload's Finish runs on the disk threads (PostDiskWork):
  // it syncs (options.fsync), which may take the disk's time, or it waits
  // for a pre-hook (those threads bound how many run at once).
  bool finishes_off_thread() const { return disk_pool_ != nullptr; }
  // Runs `work` on the disk threads, so that a connection waiting for the
  // disk (an fsync) holds up no other; concurrent syncs of small files then
  // share the file system's journal commit. REQUIRES: finishes_off_thread().
  template <class Work>
  void PostDiskWork(Work work) {
    boost::asio::post(*disk_pool_, std::move(work));
  }
  // Called once for every connection as it closes or ends (from any thread).
  void Release(std::uint64_t id, const boost::asio::ip::address& address);

  // REQUIRES: Run() has begun.
  DescriptorBudget& budget() { return *budget_; }
  SignInThrottle& sign_in_throttle() { return sign_in_throttle_; }
  ListingService& listing() { return *listing_; }
  FileStartPacer& file_pacer() { return file_pacer_; }
  BodyBufferBudget& body_buffers() { return body_buffers_; }
  // The counters of GET /metrics, kept whether or not --metrics serves them.
  ServerMetrics& metrics() { return metrics_; }
  // The upload page's list of the newest files, with `stored` just stored.
  Listing PageListing(const std::vector<std::string>& stored);
  // The hooks each upload meets; null without --hook-pre and --hook-post.
  // REQUIRES: Run() has begun.
  UploadHooks* hooks() { return hooks_.get(); }
  // TLS handshakes in progress (counted by the connections).
  void HandshakeBegun() { ++handshakes_; }
  void HandshakeEnded() { --handshakes_; }

 private:
  using tcp = boost::asio::ip::tcp;

  void MakeDescriptorBudget();
  void Accept();
  void OnAccept(const boost::system::error_code& error, tcp::socket socket);
  // The connections waiting in the backlog, taken without waiting.
  void AcceptWaiting();
  // accept() failed for want of a descriptor: one connection is taken with
  // the reserve and answered 503.
  void AcceptWithReserve();
  // Descriptors or slots ran short: closes the connection idle longest
  // between requests, and accepts again once it is closed. False when no
  // connection is so idle (or a shed is already under way).
  bool ShedOldestIdle(const char* why);
  // True when a connection waits in the listening socket's backlog.
  bool BacklogWaiting();
  // While paused at max_connections: once a client waits in the backlog,
  // one connection idle between requests makes room for it.
  void WatchBacklog();
  // The connection from `peer` if admission lets it in; otherwise refused.
  void Admit(tcp::socket socket, const tcp::endpoint& peer);
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
  std::unique_ptr<DescriptorBudget> budget_;
  SignInThrottle sign_in_throttle_;
  std::unique_ptr<ListingService> listing_;
  LingerPool refused_;  // plain connections refused at accept, lingering over their 503
  std::atomic<int> handshakes_{0};
  FileStartPacer file_pacer_;
  BodyBufferBudget body_buffers_;
  ServerMetrics metrics_;
  // Password hashes (bcrypt costs tens of ms) run here, not on the I/O threads.
  std::unique_ptr<boost::asio::thread_pool> hash_pool_;
  std::atomic<int> hash_checks_{0};
  // Uploads' Finish (publishing and its syncs) when uploads are durable.
  std::unique_ptr<UploadHooks> hooks_;  // before disk_pool_: the uploads finishing there use it
  std::unique_ptr<boost::asio::thread_pool> disk_pool_;
  FairTaskQueue hash_queue_;
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
  // The peer as accept() saw it: a client that reset its connection before
  // it was taken from the backlog has no peer name any more, yet its bytes
  // are there to read and its end to log.
  boost::asio::ip::tcp::endpoint accept_peer_;
  bool paused_ = false;
  bool stopped_by_signal_ = false;
  std::uint64_t next_id_ = 0;
  std::map<boost::asio::ip::address, int> per_address_;
  AcceptRateLimiter accept_rate_;
  std::uint64_t refused_count_ = 0;  // connections refused at accept, for the log
  bool shedding_ = false;            // a connection asked to close for room
  std::uint64_t shed_count_ = 0;     // idle connections closed for room, for the log
  std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> connections_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_CORE_H_
