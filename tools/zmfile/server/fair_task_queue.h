// Tasks of many clients, taken in turn: one from each client address with
// work waiting, round and round, so that a client with many tasks waiting
// delays another's by at most one of its own per turn. Thread-safe.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FAIR_TASK_QUEUE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FAIR_TASK_QUEUE_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zimrax::zmfile {

class FairTaskQueue {
 public:
  using Task = std::function<void()>;

  void Push(const std::string& client, Task task);
  // The next task in turn; nullopt when none waits.
  std::optional<Task> Pop();
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::deque<Task>> waiting_;  // only clients with tasks
  std::deque<std::string> turns_;                   // each client with tasks, once, in turn order
  std::size_t size_ = 0;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FAIR_TASK_QUEUE_H_
