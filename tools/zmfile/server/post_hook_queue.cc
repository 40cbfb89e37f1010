#include "server/post_hook_queue.h"

namespace zimrax::zmfile {

using Clock = std::chrono::steady_clock;

PostHookQueue::PostHookQueue(const HookTarget& target, const PostHookLimits& limits, HookCounters& counters, Logger log)
    : target_(target), limits_(limits), counters_(counters), log_(std::move(log)) {
  for (int i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { Work(); });
}

PostHookQueue::~PostHookQueue() {
  std::size_t dropped = 0;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped = waiting_.size();
    waiting_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  if (dropped > 0) {
    counters_.post_drops += dropped;
    log_("post-hook: " + std::to_string(dropped) + " notices not sent at stop");
  }
}

bool PostHookQueue::Push(PostHookNotice notice) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_ && waiting_.size() < limits_.queue) {
      waiting_.push_back(std::move(notice));
      wake_.notify_one();
      return true;
    }
  }
  ++counters_.post_drops;
  log_("post-hook: queue full (" + std::to_string(limits_.queue) + " waiting), notice for \"" + notice.about +
       "\" dropped");
  return false;
}

void PostHookQueue::Work() {
  for (;;) {
    PostHookNotice notice;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      notice = std::move(waiting_.front());
      waiting_.pop_front();
    }
    Send(notice);
  }
}

void PostHookQueue::Send(const PostHookNotice& notice) {
  Clock::duration backoff = limits_.first_backoff;
  const int attempts = target_.is_http() ? 1 + std::max(0, limits_.retries) : 1;
  for (int attempt = 1;; ++attempt) {
    ++counters_.post_runs;
    const HookVerdict verdict = target_.Run(notice.json, notice.variables, Clock::now() + limits_.timeout);
    if (verdict.accepted) return;
    const std::string why = verdict.reason + (verdict.message.empty() ? "" : ": " + verdict.message);
    if (attempt >= attempts) {
      ++counters_.post_failures;
      log_("post-hook failed for \"" + notice.about + "\" (" + why + ")" +
           (attempts > 1 ? " after " + std::to_string(attempts) + " attempts" : "") + "; the file stays stored");
      return;
    }
    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, backoff, [this] { return stopping_; })) {
      ++counters_.post_failures;
      log_("post-hook for \"" + notice.about + "\" given up at stop (" + why + ")");
      return;
    }
    backoff *= 2;
  }
}

}  // namespace zimrax::zmfile
