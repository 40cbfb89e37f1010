#include "server/listing_service.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "server/file_name_rules.h"

namespace zimrax::zmfile {
namespace {

// Scans yield to the I/O threads: a folder of 100,000 files takes tenths
// of a second of a core.
constexpr int kWorkerNiceness = 10;

bool Before(const StoredFile& a, const StoredFile& b) {
  return ListedBefore(a.modified_ns, a.name, b.modified_ns, b.name);
}

}  // namespace

Listing FirstOf(const Listing& scanned, std::size_t limit) {
  Listing page;
  if (scanned.files.size() > limit) {
    page.files.assign(scanned.files.begin(), scanned.files.begin() + static_cast<std::ptrdiff_t>(limit));
    if (!page.files.empty()) page.next = ListingCursor{page.files.back().modified_ns, page.files.back().name};
    return page;
  }
  return scanned;
}

Listing WithStoredFiles(const Listing& base, const std::string& dir, const std::vector<std::string>& names,
                        std::size_t limit) {
  std::vector<StoredFile> files;
  for (const StoredFile& file : base.files) {
    if (std::find(names.begin(), names.end(), file.name) == names.end()) files.push_back(file);
  }
  for (const std::string& name : names) {
    struct stat info {};
    const std::string path = std::string(dir).append("/").append(name);
    if (!IsListedFileName(name) || ::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    const std::int64_t ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    files.push_back({name, static_cast<std::uint64_t>(info.st_size), ns / 1000000, ns});
  }
  std::sort(files.begin(), files.end(), Before);
  Listing merged;
  merged.files = std::move(files);
  const bool more = base.next.has_value();
  merged = FirstOf(merged, limit);
  if (more && !merged.next && !merged.files.empty()) {
    merged.next = ListingCursor{merged.files.back().modified_ns, merged.files.back().name};
  }
  return merged;
}

ListingService::ListingService(std::string dir, Settings settings)
    : dir_(std::move(dir)), settings_(settings), worker_([this] { Work(); }) {}

ListingService::~ListingService() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

ListingService::Key ListingService::KeyOf(std::size_t limit, const std::optional<ListingCursor>& after) {
  if (!after) return Key{std::max(limit, kFirstPageScan), false, 0, ""};
  return Key{limit, true, after->modified_ns, after->name};
}

bool ListingService::Request(const std::string& address, std::size_t limit,
                             const std::optional<ListingCursor>& after, Done done) {
  const Key key = KeyOf(limit, after);
  std::unique_lock<std::mutex> lock(mutex_);
  if (const auto found = results_.find(key); found != results_.end()) {
    const Result& result = found->second;
    if (result.generation == generation_ && Clock::now() - result.finished < settings_.share_time) {
      const Listing page = FirstOf(result.listing, limit);
      lock.unlock();
      done(page);
      return true;
    }
  }
  int& waiting = waiting_per_address_[address];
  if (waiting >= settings_.max_per_address) return false;
  auto found = pending_.find(key);
  if (found == pending_.end()) {
    if (queue_.size() >= settings_.max_queued) {
      if (waiting == 0) waiting_per_address_.erase(address);
      return false;
    }
    found = pending_.emplace(key, Scan{generation_, false, {}, {}}).first;
    queue_.push_back(key);
  }
  Scan& scan = found->second;
  // A scan begun before the folder changed cannot answer this request.
  std::vector<Waiter>& joined = scan.started && scan.generation != generation_ ? scan.later : scan.waiters;
  joined.push_back(Waiter{address, limit, std::move(done)});
  ++waiting;
  lock.unlock();
  wake_.notify_one();
  return true;
}

void ListingService::Invalidate() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
}

std::optional<Listing> ListingService::LatestFirstPage(Clock::duration max_age) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!latest_first_page_ || Clock::now() - latest_first_page_time_ > max_age) return std::nullopt;
  return latest_first_page_;
}

std::uint64_t ListingService::scans() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return scans_;
}

void ListingService::Work() {
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNiceness);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const Key key = queue_.front();
    queue_.pop_front();
    Scan& scan = pending_.at(key);
    scan.started = true;
    const std::uint64_t generation = generation_;
    scan.generation = generation;
    lock.unlock();
    const auto& [keep, has_cursor, cursor_ns, cursor_name] = key;
    std::optional<ListingCursor> after;
    if (has_cursor) after = ListingCursor{cursor_ns, cursor_name};
    const Listing listing = ListStoredFiles(dir_, keep, after);
    lock.lock();
    ++scans_;
    Scan& done_scan = pending_.at(key);
    std::vector<Waiter> waiters = std::move(done_scan.waiters);
    if (done_scan.later.empty()) {
      pending_.erase(key);
    } else {
      done_scan.waiters = std::move(done_scan.later);
      done_scan.later.clear();
      done_scan.started = false;
      queue_.push_front(key);
    }
    const Clock::time_point now = Clock::now();
    for (auto it = results_.begin(); it != results_.end();) {
      it = now - it->second.finished >= settings_.share_time ? results_.erase(it) : std::next(it);
    }
    results_.insert_or_assign(key, Result{generation, now, listing});
    if (!has_cursor) {
      latest_first_page_ = listing;
      latest_first_page_time_ = now;
    }
    for (const Waiter& waiter : waiters) {
      if (--waiting_per_address_[waiter.address] <= 0) waiting_per_address_.erase(waiter.address);
    }
    lock.unlock();
    for (const Waiter& waiter : waiters) waiter.done(FirstOf(listing, waiter.limit));
    lock.lock();
  }
}

}  // namespace zimrax::zmfile
