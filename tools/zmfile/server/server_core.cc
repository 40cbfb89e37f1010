#include "server/server_core.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <string>
#include <string_view>
#include <thread>

#include "server/connection.h"
#include "server/request_origin.h"
#include "server/listing_query.h"
#include "server/upload_stream.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

// A refused connection's answer: sent at once, then it lingers in the
// pool (which holds no connection slot) so that the client reads it.
constexpr std::string_view kBusyAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nRetry-After: 1\r\n"
    "Connection: close\r\nContent-Length: 58\r\n\r\nToo many connections from your address; try again later.\n";
// The lingering pool: its own cap, apart from --max-connections.
constexpr std::size_t kLingeringRefusals = 1024;
constexpr auto kLingerTime = std::chrono::seconds(2);
// How long the upload page may show a listing scanned before (plus what
// the upload itself stored) rather than scan the folder again.
constexpr auto kPageListingAge = std::chrono::seconds(5);
// Connections taken from the backlog in one turn of the accept loop.
constexpr int kAcceptsPerTurn = 64;
// Threads that run uploads' Finish when uploads are synced. A thread in
// fsync() waits for the disk without using a core, and the more syncs run
// at once, the more of them one journal commit covers.
constexpr unsigned kDiskThreads = 16;

}  // namespace

ServerCore::ServerCore(ServeConfig config, std::ostream& log, ServerAccess access)
    : config_(std::move(config)),
      log_(log),
      access_(std::move(access)),
      sign_in_throttle_(config_.options.max_hash_checks),
      // Its thread starts here, before the server tells where it listens.
      listing_(std::make_unique<ListingService>(config_.options.dir, ListingService::Settings{})),
      refused_(ioc_, kLingeringRefusals, kLingerTime),
      strand_(asio::make_strand(ioc_)),
      acceptor_(strand_),
      signals_(strand_),
      drain_timer_(strand_),
      retry_timer_(strand_),
      accept_rate_(config_.options.accept_rate, 2.0 * config_.options.accept_rate) {}

bool ServerCore::Bind() {
  // Before the server says where it listens: whoever reads its limits then
  // sees the raised ones.
  MakeDescriptorBudget();
  beast::error_code error;
  tcp::resolver resolver(ioc_);
  const auto endpoints = resolver.resolve(options().host, std::to_string(options().port),
                                          tcp::resolver::passive | tcp::resolver::numeric_service, error);
  if (error || endpoints.empty()) return false;
  const tcp::endpoint endpoint = endpoints.begin()->endpoint();
  acceptor_.open(endpoint.protocol(), error);
  if (!error) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  // Connections past max_connections wait here until one ends.
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) return false;
  const tcp::endpoint bound = acceptor_.local_endpoint(error);
  port_ = bound.port();
  own_origins_ = OwnOrigins(bound.address().to_string(), port_, !options().tls_cert.empty(), config_.public_urls);
  signals_.add(SIGINT, error);
  signals_.add(SIGTERM, error);
  return !error;
}

void ServerCore::MakeDescriptorBudget() {
  const std::int64_t limit = DescriptorBudget::RaisedProcessLimit();
  if (const std::string warning = DescriptorBudget::WarningFor(limit, options().max_connections); !warning.empty()) {
    log_.Note(warning);
  }
  budget_ = std::make_unique<DescriptorBudget>(limit, options().max_connections);
}

Listing ServerCore::PageListing(const std::vector<std::string>& stored) {
  if (std::optional<Listing> latest = listing_->LatestFirstPage(kPageListingAge)) {
    return WithStoredFiles(*latest, options().dir, stored, kDefaultListLimit);
  }
  return ListStoredFiles(options().dir, kDefaultListLimit);
}

bool ServerCore::Run() {
  WaitForSignal();
  asio::post(strand_, [this] { Accept(); });
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned count =
      options().threads > 0 ? static_cast<unsigned>(options().threads) : std::max(2u, cores == 0 ? 2u : cores);
  auto run = [this] {
    for (;;) {
      try {
        ioc_.run();
        return;
      } catch (const std::exception& fault) {
        log_.Note(std::string("internal error: ") + fault.what());
      }
    }
  };
  // Half as many hash threads as I/O threads: a burst of sign-ins leaves
  // the rest of the server a core.
  if (access_.authenticator) hash_pool_ = std::make_unique<asio::thread_pool>(std::max(1u, count / 2));
  if (config_.hooks.any()) {
    hooks_ = std::make_unique<UploadHooks>(config_.hooks, metrics_.hooks,
                                           [this](const std::string& line) { log_.Note(line); });
  }
  // A pre-hook holds its upload's Finish for up to --hook-pre-total: never on an I/O thread.
  if (options().fsync || hooks_) disk_pool_ = std::make_unique<asio::thread_pool>(kDiskThreads);
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < count; ++i) threads.emplace_back(run);
  run();
  for (std::thread& thread : threads) thread.join();
  if (hash_pool_) hash_pool_->join();
  if (disk_pool_) disk_pool_->join();
  hooks_.reset();  // the post-hook notices still waiting are dropped, and logged
  return stopped_by_signal_;
}

void ServerCore::Accept() {
  if (stopping_ || accepting_) return;
  if (active_ >= options().max_connections) {
    // A client waiting in the backlog goes before one idle between requests.
    if (BacklogWaiting() && ShedOldestIdle("connections")) return;
    if (!paused_) {
      log_.Note("at " + std::to_string(active_) + " connections: new ones wait until one ends");
      paused_ = true;
      WatchBacklog();
    }
    return;
  }
  accepting_ = true;
  acceptor_.async_accept(asio::make_strand(ioc_), accept_peer_, [this](const beast::error_code& error, tcp::socket socket) {
    accepting_ = false;
    OnAccept(error, std::move(socket));
  });
}

void ServerCore::OnAccept(const beast::error_code& error, tcp::socket socket) {
  if (stopping_ || error == asio::error::operation_aborted) return;
  if (error == asio::error::no_descriptors || error.value() == ENFILE) {
    // The shed connection's close brings the next accept.
    if (shedding_ || ShedOldestIdle("descriptors")) return;
    AcceptWithReserve();
  } else if (error) {
    log_.Note("accept failed: " + error.message());
  }
  if (error) {
    // Try again shortly rather than spin.
    retry_timer_.expires_after(std::chrono::milliseconds(error == asio::error::no_descriptors ? 10 : 100));
    retry_timer_.async_wait([this](const beast::error_code& e) {
      if (!e) Accept();
    });
    return;
  }
  Admit(std::move(socket), accept_peer_);
  AcceptWaiting();
  Accept();
}

void ServerCore::AcceptWaiting() {
  // Each turn of the accept loop waits behind the work of every busy
  // connection: take what the backlog holds now in this one turn.
  for (int i = 0; i < kAcceptsPerTurn && !stopping_ && active_ < options().max_connections; ++i) {
    beast::error_code error;
    tcp::socket socket(asio::make_strand(ioc_));
    tcp::endpoint peer;
    socklen_t peer_size = static_cast<socklen_t>(peer.capacity());
    const int fd = ::accept4(acceptor_.native_handle(), peer.data(), &peer_size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
      if (shedding_ || ShedOldestIdle("descriptors")) return;
      AcceptWithReserve();
      continue;
    }
    if (fd < 0) return;  // EAGAIN: the backlog is empty
    socket.assign(acceptor_.local_endpoint(error).protocol(), fd, error);
    if (error) {
      ::close(fd);
      continue;
    }
    peer.resize(peer_size);
    Admit(std::move(socket), peer);
  }
}

void ServerCore::Admit(tcp::socket socket, const tcp::endpoint& peer) {
  beast::error_code ignored;
  const auto found = per_address_.find(peer.address());
  const int open = found == per_address_.end() ? 0 : found->second;
  const bool tls = access_.tls != nullptr;
  const Admission admission =
      zmfile::Admit(accept_rate_.TryAccept(peer.address(), std::chrono::steady_clock::now()), open,
                    options().max_per_address, tls, handshakes_.load(), HandshakeCapFor(options().max_connections));
  if (admission != Admission::kServe) metrics_.CountRefusal(RefusalCause::kBudgets);
  switch (admission) {
    case Admission::kServe:
      break;
    case Admission::kOverAddress:
      if (refused_count_++ % 100 == 0) {
        log_.Note(peer.address().to_string() + ": refused: more than " + std::to_string(options().max_per_address) +
                  " connections from this address");
      }
      // Over TLS nothing is sent before a handshake, which is what must not be paid for.
      if (!tls) {
        refused_.Adopt(std::move(socket), kBusyAnswer);
        return;
      }
      socket.close(ignored);
      return;
    case Admission::kOverRate:
    case Admission::kOverHandshakes:
      socket.close(ignored);
      return;
  }
  socket.set_option(tcp::no_delay(true), ignored);
  ++active_;
  ++per_address_[peer.address()];
  const std::uint64_t id = next_id_++;
  auto connection = std::make_shared<Connection>(*this, id, std::move(socket), peer);
  connections_.emplace(id, connection);
  connection->Start();
}

void ServerCore::Release(std::uint64_t id, const asio::ip::address& address) {
  if (finished_) return;
  asio::post(strand_, [this, id, address] {
    connections_.erase(id);
    --active_;
    if (const auto found = per_address_.find(address); found != per_address_.end() && --found->second <= 0) {
      per_address_.erase(found);
    }
    if (paused_ && !stopping_) {
      paused_ = false;
      Accept();
    }
    FinishStopIfDone();
  });
}

template <class Action>
void ServerCore::ForEachConnection(Action action) {
  for (auto& [id, weak] : connections_) {
    if (std::shared_ptr<Connection> connection = weak.lock()) action(*connection);
  }
}

void ServerCore::WaitForSignal() {
  signals_.async_wait([this](const beast::error_code& error, int signal) {
    if (error) return;
    if (!stopping_) {
      BeginStop(signal);
    } else {
      log_.Note("second stop signal: aborting what is in flight");
      AbortRemaining();
    }
    if (!finished_) WaitForSignal();
  });
}

void ServerCore::BeginStop(int signal) {
  stopping_ = true;
  stopped_by_signal_ = true;
  beast::error_code ignored;
  acceptor_.close(ignored);
  retry_timer_.cancel();
  refused_.Close();
  log_.Note("stopping on signal " + std::to_string(signal) + ": " + std::to_string(connections_.size()) +
            " connections open; uploads in flight get up to " + std::to_string(options().drain_seconds) + " s");
  ForEachConnection([](Connection& connection) { connection.Stop(); });
  drain_timer_.expires_after(std::chrono::seconds(options().drain_seconds));
  drain_timer_.async_wait([this](const beast::error_code& error) {
    if (!error) AbortRemaining();
  });
  FinishStopIfDone();
}

void ServerCore::AbortRemaining() {
  if (!connections_.empty()) {
    log_.Note("drain time over: closing " + std::to_string(connections_.size()) + " connections");
  }
  ForEachConnection([](Connection& connection) { connection.ForceClose(); });
}

void ServerCore::FinishStopIfDone() {
  if (!stopping_ || !connections_.empty() || finished_) return;
  // Nothing is left to run: the threads return from run().
  finished_ = true;
  beast::error_code ignored;
  signals_.cancel(ignored);
  drain_timer_.cancel();
}

}  // namespace zimrax::zmfile
