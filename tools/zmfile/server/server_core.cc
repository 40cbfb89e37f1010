#include "server/server_core.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "server/connection.h"
#include "server/request_origin.h"
#include "server/upload_stream.h"

namespace zimrax::zmfile {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

// Descriptors beyond the connections: listening socket, logs, the
// directory, downloads. An upload in flight also holds two per file field
// whose data has begun (its temporary file and the folder), up to
// 2 * kMaxFileFields; past the limit a file fails with 67 (EMFILE).
constexpr rlim_t kSpareDescriptors = 64;

}  // namespace

ServerCore::ServerCore(ServeConfig config, std::ostream& log, ServerAccess access)
    : config_(std::move(config)),
      log_(log),
      access_(std::move(access)),
      strand_(asio::make_strand(ioc_)),
      acceptor_(strand_),
      signals_(strand_),
      drain_timer_(strand_),
      retry_timer_(strand_) {}

bool ServerCore::Bind() {
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

void ServerCore::RaiseDescriptorLimit() {
  const rlim_t needed = static_cast<rlim_t>(options().max_connections) * 2 + kSpareDescriptors;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    log_.Note("warning: the descriptor limit " + std::to_string(limit.rlim_cur) + " is below the " +
              std::to_string(needed) + " that --max-connections " + std::to_string(options().max_connections) +
              " may need");
    return;
  }
  // Uploads of many files hold two descriptors per file (kSpareDescriptors).
  const rlim_t with_files = needed + static_cast<rlim_t>(options().max_connections) * 2 * kMaxFileFields;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < with_files) {
    log_.Note("note: the descriptor limit " + std::to_string(limit.rlim_cur) + " holds fewer than --max-connections " +
              std::to_string(options().max_connections) + " uploads of " + std::to_string(kMaxFileFields) +
              " files each (" + std::to_string(with_files) + "); past it a file fails with 67 (too many files open)");
  }
}

bool ServerCore::Run() {
  RaiseDescriptorLimit();
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
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < count; ++i) threads.emplace_back(run);
  run();
  for (std::thread& thread : threads) thread.join();
  if (hash_pool_) hash_pool_->join();
  return stopped_by_signal_;
}

void ServerCore::Accept() {
  if (stopping_ || accepting_) return;
  if (active_ >= options().max_connections) {
    if (!paused_) log_.Note("at " + std::to_string(active_) + " connections: new ones wait until one ends");
    paused_ = true;
    return;
  }
  accepting_ = true;
  acceptor_.async_accept(asio::make_strand(ioc_), [this](const beast::error_code& error, tcp::socket socket) {
    accepting_ = false;
    OnAccept(error, std::move(socket));
  });
}

void ServerCore::OnAccept(const beast::error_code& error, tcp::socket socket) {
  if (stopping_ || error == asio::error::operation_aborted) return;
  if (error) {
    // Out of descriptors, most likely: try again shortly rather than spin.
    log_.Note("accept failed: " + error.message());
    retry_timer_.expires_after(std::chrono::milliseconds(100));
    retry_timer_.async_wait([this](const beast::error_code& e) {
      if (!e) Accept();
    });
    return;
  }
  beast::error_code ignored;
  const tcp::endpoint peer = socket.remote_endpoint(ignored);
  socket.set_option(tcp::no_delay(true), ignored);
  if (!ignored) {
    ++active_;
    const int from_address = ++per_address_[peer.address()];
    const auto mode = from_address > options().max_per_address ? Connection::Mode::kBusy : Connection::Mode::kServe;
    const std::uint64_t id = next_id_++;
    auto connection = std::make_shared<Connection>(*this, id, std::move(socket), peer, mode);
    connections_.emplace(id, connection);
    connection->Start();
  }
  Accept();
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
