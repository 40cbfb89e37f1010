// The folder's listing, scanned off the I/O threads: one worker thread (at
// a lower priority than the I/O threads) scans the folder, concurrent
// requests for the same page share one scan, and a finished scan answers
// the same page again for a short time. Each client address may have only
// a few listings waiting, and the queue of distinct scans is capped: past
// either the request is refused (the caller answers 503).
//
// Every first page is scanned as a page of at least kDefaultListLimit
// files, so that a request for one file and the upload page's list share
// one scan.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_LISTING_SERVICE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_LISTING_SERVICE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "server/file_listing.h"

namespace zimrax::zmfile {

// The first `limit` files of `scanned` (a page scanned with a limit of at
// least `limit`), with the cursor of the next page when there is one.
Listing FirstOf(const Listing& scanned, std::size_t limit);

// `base` with the files `names` of `dir` (just stored) put in their places
// (replacing entries of the same name), cut to `limit`.
Listing WithStoredFiles(const Listing& base, const std::string& dir, const std::vector<std::string>& names,
                        std::size_t limit);

class ListingService {
 public:
  using Clock = std::chrono::steady_clock;
  using Done = std::function<void(const Listing&)>;
  // The page size every first-page scan keeps (the upload page's list).
  static constexpr std::size_t kFirstPageScan = 100;

  struct Settings {
    Clock::duration share_time = std::chrono::seconds(1);
    int max_per_address = 2;   // listings waiting per client address
    std::size_t max_queued = 64;  // distinct scans waiting
  };

  ListingService(std::string dir, Settings settings);
  // Finishes the scan in progress; waiting requests are dropped unanswered.
  ~ListingService();
  ListingService(const ListingService&) = delete;
  ListingService& operator=(const ListingService&) = delete;

  // Asks for `limit` files after `after`. `done` runs once, on the worker
  // thread or (for a page it already has) before Request returns. False
  // (and `done` never runs) when `address` has max_per_address listings
  // waiting or the queue is full.
  bool Request(const std::string& address, std::size_t limit, const std::optional<ListingCursor>& after, Done done);

  // The folder changed: requests from now on are not answered by scans
  // begun before.
  void Invalidate();

  // The newest first page scanned (of at least kFirstPageScan files) when
  // it is at most `max_age` old: for a page that adds what the caller
  // itself just stored.
  std::optional<Listing> LatestFirstPage(Clock::duration max_age = Clock::duration::max()) const;

  std::uint64_t scans() const;  // scans done so far

 private:
  using Key = std::tuple<std::size_t, bool, std::int64_t, std::string>;  // keep, has cursor, cursor
  struct Waiter {
    std::string address;
    std::size_t limit;
    Done done;
  };
  struct Scan {
    std::uint64_t generation = 0;
    bool started = false;
    std::vector<Waiter> waiters;
    // Came after the folder changed while the scan ran: answered by the
    // scan that follows it.
    std::vector<Waiter> later;
  };
  struct Result {
    std::uint64_t generation;
    Clock::time_point finished;
    Listing listing;
  };

  void Work();
  static Key KeyOf(std::size_t limit, const std::optional<ListingCursor>& after);

  const std::string dir_;
  const Settings settings_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::uint64_t generation_ = 0;
  std::uint64_t scans_ = 0;
  std::map<Key, Scan> pending_;   // waiting or in progress
  std::deque<Key> queue_;         // keys of pending_ not started, oldest first
  std::map<Key, Result> results_; // finished, pruned as they age
  std::optional<Listing> latest_first_page_;
  Clock::time_point latest_first_page_time_;
  std::map<std::string, int> waiting_per_address_;
  std::thread worker_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_LISTING_SERVICE_H_
