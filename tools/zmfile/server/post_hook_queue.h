// The post-hook's notices, off the request path: a bounded queue that a
// few threads empty. An upload only ever pushes (never waits): a full
// queue drops the notice and says so in the log. A failed HTTP notice is
// tried again after 1 s, 2 s, 4 s, ... up to the retry limit; a command is
// run once. Nothing here touches the stored files.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_POST_HOOK_QUEUE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_POST_HOOK_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/hook_counters.h"
#include "server/hook_target.h"

namespace zimrax::zmfile {

struct PostHookLimits {
  std::size_t queue = 1024;                                                // notices waiting, at most
  int workers = 4;                                                         // notices being sent at once
  int retries = 3;                                                         // further attempts of a failed HTTP notice
  std::chrono::steady_clock::duration timeout = std::chrono::seconds(10);  // per attempt
  std::chrono::steady_clock::duration first_backoff = std::chrono::seconds(1);
};

struct PostHookNotice {
  std::string json;
  std::map<std::string, std::string> variables;
  std::string about;  // the stored name, for the log
};

class PostHookQueue {
 public:
  using Logger = std::function<void(const std::string&)>;

  // REQUIRES: `target` and `counters` outlive the queue; limits.workers >= 1.
  PostHookQueue(const HookTarget& target, const PostHookLimits& limits, HookCounters& counters, Logger log);
  // Stops: the notices still waiting are dropped (and logged); those being
  // sent end within their attempt's timeout.
  ~PostHookQueue();
  PostHookQueue(const PostHookQueue&) = delete;
  PostHookQueue& operator=(const PostHookQueue&) = delete;

  // Queues `notice`, or drops it when the queue is full. Never blocks on a
  // hook. Returns false when dropped.
  bool Push(PostHookNotice notice);

 private:
  void Work();
  // Sends one notice, with its retries. Returns when done or stopping.
  void Send(const PostHookNotice& notice);

  const HookTarget& target_;
  const PostHookLimits limits_;
  HookCounters& counters_;
  const Logger log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<PostHookNotice> waiting_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_POST_HOOK_QUEUE_H_
